#include "platform/sockets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/log.h"
#include "platform/system_calls.h"

#ifndef TCP_RTO_MAX_MS
#define TCP_RTO_MAX_MS 44  // Linux 6.15: the longest wait between resends and window probes
#endif

namespace {

constexpr int LISTEN_BACKLOG = 8;
// What TCP_RTO_MAX_MS takes.
constexpr uint32_t RTO_MAX_LEAST_MS = 1000;
constexpr uint32_t RTO_MAX_MOST_MS = 120000;

// Sets one integer option; a refusal is logged with `message` and does not stop the caller.
void set_int_option(int sock, int level, int name, int value, const char* message) {
  if (sys().set_int_option(sock, level, name, value) != 0) {
    int err = errno;
    log_direct(3, message, strerror(err));
  }
}

}  // namespace

int open_listen_socket(uint32_t port, const net_address& address) {
  // Without an address, one dual-stack socket takes callers of both families; IPv4 ones arrive
  // as mapped addresses.
  bool every_address = net_address_empty(address);
  net_family family = every_address ? NET_IPV6 : address.family;
  int sock = sys().tcp_socket(family);
  if (sock < 0 && errno == EAFNOSUPPORT && every_address) {
    log_msg(4, "IPv6 is not available (%s): listening for IPv4 callers only", strerror(errno));
    family = NET_IPV4;
    sock = sys().tcp_socket(NET_IPV4);
  }
  if (sock < 0) {
    int err = errno;
    log_direct(3, "create socket error: %s", strerror(err));
    errno = err;
    return -1;
  }
  // Lets a restarted daemon bind again while connections of its previous run are still closing.
  set_int_option(sock, SOL_SOCKET, SO_REUSEADDR, 1, "setsockopt(SO_REUSEADDR) error: %s");
  // The system's default (net.ipv6.bindv6only) could keep IPv4 callers out.
  if (every_address && family == NET_IPV6) {
    set_int_option(sock, IPPROTO_IPV6, IPV6_V6ONLY, 0, "setsockopt(IPV6_V6ONLY) error: %s");
  }
  net_address local = address;
  local.family = family;  // every address: all bytes 0, INADDR_ANY or in6addr_any
  local.port = static_cast<uint16_t>(port & 0xffff);
  sockaddr_storage ss{};
  socklen_t len = net_address_to_sockaddr(local, ss);
  if (bind(sock, reinterpret_cast<const sockaddr*>(&ss), len) != 0) {
    int err = errno;
    log_direct(3, "bind socket error: %s", strerror(err));
    close(sock);
    errno = err;
    return -1;
  }
  if (listen(sock, LISTEN_BACKLOG) != 0) {
    int err = errno;
    log_direct(3, "listen on socket error: %s", strerror(err));
    close(sock);
    errno = err;
    return -1;
  }
  return sock;
}

net_address socket_local_address(int sock) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return {};
  return net_address_from_sockaddr(ss);
}

uint32_t enable_keepalive(int sock, uint32_t idle, uint32_t interval, uint32_t probes) {
  set_int_option(sock, SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt(SO_KEEPALIVE) error: %s");
  set_int_option(sock, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(idle),
                 "setsockopt(TCP_KEEPIDLE) error: %s");
  set_int_option(sock, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(interval),
                 "setsockopt(TCP_KEEPINVTL) error: %s");
  set_int_option(sock, IPPROTO_TCP, TCP_KEEPCNT, static_cast<int>(probes),
                 "setsockopt(TCP_KEEPCNT) error: %s");
  // A refused value above leaves the system's default in effect: the span is taken from what
  // the socket holds. A socket that cannot say has refused every option already.
  int held[3] = {0, 0, 0};
  const int names[3] = {TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT};
  for (int i = 0; i < 3; ++i) {
    if (sys().get_int_option(sock, IPPROTO_TCP, names[i], &held[i]) != 0) return 0;
  }
  uint32_t span = keepalive_span_ms(static_cast<uint32_t>(held[0]), static_cast<uint32_t>(held[1]),
                                    static_cast<uint32_t>(held[2]));
  // Resends and window probes at most half the span apart, so that a peer whose window stays
  // closed answers one within the span and one that is gone shows within it. A kernel without
  // the option (before 6.15) refuses it and spaces them out to two minutes.
  uint32_t rto_max = std::clamp(span / 2, RTO_MAX_LEAST_MS, RTO_MAX_MOST_MS);
  (void)sys().set_int_option(sock, IPPROTO_TCP, TCP_RTO_MAX_MS, static_cast<int>(rto_max));
  return span;
}

int tcp_progress_of(int sock, tcp_progress* out) { return sys().tcp_progress(sock, out); }

uint32_t keepalive_span_ms(uint32_t idle, uint32_t interval, uint32_t probes) {
  uint64_t seconds = uint64_t{idle} + uint64_t{interval} * probes;
  uint64_t ms = seconds * 1000;
  return ms > INT32_MAX ? INT32_MAX : static_cast<uint32_t>(ms);
}

void close_socket(unique_fd& sock) {
  // close() itself, not unique_fd::reset(), so that closing an empty variable is reported too.
  if (sys().close(sock.release()) != 0) {
    int err = errno;
    log_msg(3, "close socket error: %s", strerror(err));
  }
}

int tcp_socket(net_family family) { return sys().tcp_socket(family); }

int set_nonblocking(int fd) { return sys().set_nonblocking(fd); }

int tcp_connect(int fd, const net_address& addr) { return sys().connect(fd, addr); }

int socket_error(int fd, int* error) { return sys().socket_error(fd, error); }

int accept_connection(int listen_fd, net_address* addr) { return sys().accept(listen_fd, addr); }

ssize_t send_bytes(int fd, const void* buf, size_t len) { return sys().send(fd, buf, len); }

ssize_t recv_bytes(int fd, void* buf, size_t len) { return sys().recv(fd, buf, len); }

ssize_t peek_bytes(int fd, void* buf, size_t len) { return sys().peek(fd, buf, len); }
