// Process-level services for start-up and shutdown: session, pid file, signals, sleeping,
// plain file presence tests, and the descriptor I/O and select() used by the event loop.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>

// setsid(); the result is ignored (the daemon may already lead a session).
void start_session();

// The process id.
int current_pid();

// Writes "%i\n" with `pid` to `path` (created or truncated). Returns true when written.
bool write_pid_file(const char* path, int pid);

// Reads a pid file: returns the decimal number at its start, 0 when it holds none, -1 when it
// cannot be opened.
int read_pid_file(const char* path);

// access(path, F_OK) == 0.
bool file_exists(const char* path);

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

// close(); the result of close().
int fd_close(int fd);

// Terminates the process with `status` (exit()).
[[noreturn]] void exit_process(int status);
