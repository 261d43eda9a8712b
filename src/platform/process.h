// Process-level services for start-up and shutdown: session, signals, sleeping, removing a
// file, and the descriptor I/O and select() used by the event loop.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>

// setsid(); the result is ignored (the daemon may already lead a session).
void start_session();

// The process id.
int current_pid();

// unlink(path); the result is ignored.
void remove_file(const char* path);

void sleep_seconds(unsigned seconds);
void sleep_milliseconds(unsigned ms);

// Installs `handler` with signal() for SIGINT, SIGTERM, SIGQUIT and SIGUSR1, in this order, and
// ignores SIGPIPE (a send to a reset connection is then an error, not the end of the process).
using signal_handler_fn = void (*)(int);
void install_signal_handlers(signal_handler_fn handler);

// select() with read and write sets; returns as select() does, errno set on -1.
int wait_ready(int nfds, fd_set* read_set, fd_set* write_set, timeval* timeout);

// read() / write() on a descriptor; results as those calls give them.
ssize_t fd_read(int fd, void* buf, size_t len);
ssize_t fd_write(int fd, const void* buf, size_t len);

// Terminates the process with `status` (exit()).
[[noreturn]] void exit_process(int status);
