#include "platform/system_calls.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <ctime>

namespace {

int kernel_select(int nfds, fd_set* read_set, fd_set* write_set, timeval* timeout) {
  // No retry on EINTR: the caller learns from it that a signal arrived.
  return ::select(nfds, read_set, write_set, nullptr, timeout);
}

ssize_t kernel_read(int fd, void* buf, size_t len) { return ::read(fd, buf, len); }

ssize_t kernel_write(int fd, const void* buf, size_t len) { return ::write(fd, buf, len); }

ssize_t kernel_send(int fd, const void* buf, size_t len) {
  return ::send(fd, buf, len, MSG_NOSIGNAL);
}

ssize_t kernel_recv(int fd, void* buf, size_t len) { return ::recv(fd, buf, len, 0); }

int kernel_close(int fd) { return ::close(fd); }

int kernel_tcp_socket(net_family family) {
  return ::socket(family == NET_IPV6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
}

int kernel_connect(int fd, const net_address& addr) {
  sockaddr_storage ss{};
  socklen_t len = net_address_to_sockaddr(addr, ss);
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&ss), len);
}

int kernel_accept(int listen_fd, net_address* addr) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0 && addr != nullptr) *addr = net_address_from_sockaddr(ss);
  return fd;
}

int kernel_set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 ? -1 : 0;
}

int kernel_socket_error(int fd, int* error) {
  socklen_t len = sizeof *error;
  return getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &len);
}

int kernel_set_int_option(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value);
}

int kernel_get_int_option(int fd, int level, int name, int* value) {
  socklen_t len = sizeof *value;
  return getsockopt(fd, level, name, value, &len);
}

int kernel_modem_ioctl(int fd, unsigned long request, int* bits) {
  return ioctl(fd, request, bits);
}

timeval kernel_wall_clock() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return tv;
}

int kernel_monotonic_clock() {
  timespec ts{};
  if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return -1;
  return static_cast<int>(ts.tv_sec);
}

void kernel_sleep(unsigned seconds) { ::sleep(seconds); }

void kernel_sleep_ms(unsigned ms) {
  timespec ts{};
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void kernel_new_session() { setsid(); }

void kernel_set_signal(int signo, void (*handler)(int)) { signal(signo, handler); }

int kernel_tcp_progress(int fd, tcp_progress* out) {
  tcp_info info{};
  socklen_t len = sizeof info;
  int queued = 0;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return -1;
  // A kernel or emulator that hands back less than the fields read here cannot tell (qemu-user
  // passes TCP options as one int).
  if (len < offsetof(tcp_info, tcpi_last_ack_recv) + sizeof info.tcpi_last_ack_recv) {
    errno = ENOPROTOOPT;
    return -1;
  }
  if (ioctl(fd, SIOCOUTQ, &queued) != 0) return -1;
  *out = {.unacked = info.tcpi_unacked,
          .probes = info.tcpi_probes,
          .queued_bytes = static_cast<uint32_t>(queued),
          .last_ack_recv_ms = info.tcpi_last_ack_recv,
          .last_data_sent_ms = info.tcpi_last_data_sent};
  return 0;
}

ssize_t kernel_peek(int fd, void* buf, size_t len) { return ::recv(fd, buf, len, MSG_PEEK); }

const system_calls* installed = &kernel_system_calls;

}  // namespace

const system_calls kernel_system_calls = {
    .select = kernel_select,
    .read = kernel_read,
    .write = kernel_write,
    .send = kernel_send,
    .recv = kernel_recv,
    .close = kernel_close,
    .tcp_socket = kernel_tcp_socket,
    .connect = kernel_connect,
    .accept = kernel_accept,
    .set_nonblocking = kernel_set_nonblocking,
    .socket_error = kernel_socket_error,
    .set_int_option = kernel_set_int_option,
    .get_int_option = kernel_get_int_option,
    .modem_ioctl = kernel_modem_ioctl,
    .wall_clock = kernel_wall_clock,
    .monotonic_clock = kernel_monotonic_clock,
    .sleep = kernel_sleep,
    .sleep_ms = kernel_sleep_ms,
    .new_session = kernel_new_session,
    .set_signal = kernel_set_signal,
    .tcp_progress = kernel_tcp_progress,
    .peek = kernel_peek,
};

const system_calls& sys() { return *installed; }

const system_calls* use_system_calls(const system_calls* table) {
  const system_calls* previous = installed;
  installed = table != nullptr ? table : &kernel_system_calls;
  return previous;
}
