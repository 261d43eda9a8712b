#include "platform/system_io.h"

#include "platform/system_calls.h"

int wait_ready(int nfds, fd_set* read_set, fd_set* write_set, timeval* timeout) {
  return sys().select(nfds, read_set, write_set, timeout);
}

ssize_t fd_read(int fd, void* buf, size_t len) { return sys().read(fd, buf, len); }

ssize_t fd_write(int fd, const void* buf, size_t len) { return sys().write(fd, buf, len); }

void sleep_seconds(unsigned seconds) { sys().sleep(seconds); }

void sleep_milliseconds(unsigned ms) { sys().sleep_ms(ms); }
