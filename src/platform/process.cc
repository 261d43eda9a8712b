#include "platform/process.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/system_calls.h"

void start_session() { setsid(); }

int current_pid() { return static_cast<int>(getpid()); }

void remove_file(const char* path) { unlink(path); }

void sleep_seconds(unsigned seconds) { sys().sleep(seconds); }

void sleep_milliseconds(unsigned ms) {
  timespec ts{};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  // Sleep the whole time even when a signal handler interrupts the wait.
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void install_signal_handlers(signal_handler_fn handler) {
  signal(SIGINT, handler);
  signal(SIGTERM, handler);
  signal(SIGQUIT, handler);
  signal(SIGUSR1, handler);
  signal(SIGPIPE, SIG_IGN);
}

int wait_ready(int nfds, fd_set* read_set, fd_set* write_set, timeval* timeout) {
  return sys().select(nfds, read_set, write_set, timeout);
}

ssize_t fd_read(int fd, void* buf, size_t len) { return sys().read(fd, buf, len); }

ssize_t fd_write(int fd, const void* buf, size_t len) { return sys().write(fd, buf, len); }

void exit_process(int status) { exit(status); }
