#include "platform/sockets.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/system_calls.h"
#include "test_port.h"
#include "test_support.h"

namespace {

const net_address LOOPBACK = net_ipv4(INADDR_LOOPBACK);

struct scoped_threshold {
  uint32_t value;
  explicit scoped_threshold(uint32_t v) : value(v) { log_set_threshold(&value); }
  ~scoped_threshold() { log_set_threshold(nullptr); }
};

// Local address and port (host order) of a socket.
sockaddr_in local_address(int fd) {
  sockaddr_in sin{};
  socklen_t len = sizeof sin;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
  return sin;
}

uint16_t local_port(int fd) { return ntohs(local_address(fd).sin_port); }

int int_option(int fd, int level, int name) {
  int value = -1;
  socklen_t len = sizeof value;
  if (getsockopt(fd, level, name, &value, &len) != 0) return -1;
  return value;
}

int open_descriptor_count() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// A connected pair over loopback: the client end and the accepted end.
struct tcp_pair {
  unique_fd listener, client, server;
  net_address peer;
};

// The loopback address at `port`.
net_address at_port(uint16_t port) {
  net_address to = LOOPBACK;
  to.port = port;
  return to;
}

tcp_pair connect_pair() {
  tcp_pair p;
  p.listener.reset(open_listen_socket(0));
  if (!p.listener.valid()) return p;
  p.client.reset(tcp_socket(NET_IPV4));
  if (tcp_connect(p.client.get(), at_port(local_port(p.listener.get()))) != 0) return p;
  p.server.reset(accept_connection(p.listener.get(), &p.peer));
  return p;
}

bool wait_for(int fd, short events) {
  pollfd p{fd, events, 0};
  return poll(&p, 1, 5000) == 1;
}

}  // namespace

TEST(Sockets, ListenConnectAcceptExchange) {
  log_capture log;
  unique_fd listener(open_listen_socket(0));
  ASSERT_TRUE(listener.valid());
  sockaddr_in6 bound{};
  socklen_t bound_len = sizeof bound;
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &bound_len), 0);
  EXPECT_EQ(bound.sin6_family, AF_INET6);
  EXPECT_TRUE(IN6_IS_ADDR_UNSPECIFIED(&bound.sin6_addr));
  EXPECT_NE(bound.sin6_port, 0);
  EXPECT_EQ(int_option(listener.get(), IPPROTO_IPV6, IPV6_V6ONLY), 0);
  EXPECT_EQ(int_option(listener.get(), SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_EQ(int_option(listener.get(), SOL_SOCKET, SO_ACCEPTCONN), 1);
  EXPECT_EQ(int_option(listener.get(), SOL_SOCKET, SO_TYPE), SOCK_STREAM);
  EXPECT_TRUE(fcntl(listener.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_FALSE(fcntl(listener.get(), F_GETFL) & O_NONBLOCK);

  unique_fd client(tcp_socket(NET_IPV4));
  ASSERT_TRUE(client.valid());
  EXPECT_TRUE(fcntl(client.get(), F_GETFD) & FD_CLOEXEC);
  ASSERT_EQ(tcp_connect(client.get(), at_port(ntohs(bound.sin6_port))), 0);

  net_address peer;
  unique_fd server(accept_connection(listener.get(), &peer));
  ASSERT_TRUE(server.valid());
  EXPECT_TRUE(net_same_host(peer, LOOPBACK));
  EXPECT_STREQ(addr_text(peer), "127.0.0.1");
  EXPECT_TRUE(fcntl(server.get(), F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(server.get(), F_GETFD) & FD_CLOEXEC);

  char buf[16];
  EXPECT_EQ(recv_bytes(server.get(), buf, sizeof buf), -1);
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_EQ(send_bytes(client.get(), "X", 1), 1);
  ASSERT_TRUE(wait_for(server.get(), POLLIN));
  ASSERT_EQ(recv_bytes(server.get(), buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], 'X');
  ASSERT_EQ(send_bytes(server.get(), "hello", 5), 5);
  ASSERT_EQ(recv_bytes(client.get(), buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  server.reset();
  EXPECT_EQ(recv_bytes(client.get(), buf, sizeof buf), 0);
  EXPECT_TRUE(log.lines().empty());
}

// A kernel without IPv6: the listening socket is IPv4 only, as it always was, and says so once.
TEST(Sockets, WithoutIpv6ListensOnIpv4) {
  static system_calls no_ipv6 = kernel_system_calls;
  no_ipv6.tcp_socket = [](net_family family) {
    if (family == NET_IPV6) {
      errno = EAFNOSUPPORT;
      return -1;
    }
    return kernel_system_calls.tcp_socket(family);
  };
  const system_calls* previous = use_system_calls(&no_ipv6);
  scoped_threshold threshold(7);
  log_capture log;
  unique_fd listener(open_listen_socket(0));
  use_system_calls(previous);
  ASSERT_TRUE(listener.valid());
  EXPECT_EQ(local_address(listener.get()).sin_family, AF_INET);
  EXPECT_EQ(local_address(listener.get()).sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_EQ(log.lines(), (std::vector<std::pair<int, std::string>>{
                             {4,
                              "IPv6 is not available (Address family not supported by "
                              "protocol): listening for IPv4 callers only"}}));
}

TEST(Sockets, OnlyTheLowSixteenBitsOfThePortCount) {
  for (uint32_t high : {1u, 3u, 0x7fffu}) {
    test_port held;
    auto port = static_cast<uint16_t>(held.number());
    ASSERT_NE(port, 0);
    unique_fd listener(open_listen_socket(high * 65536 + port));
    ASSERT_TRUE(listener.valid()) << "high " << high;
    EXPECT_EQ(local_port(listener.get()), port) << "high " << high;
  }
}

TEST(Sockets, PortInUseIsReportedAndLeaksNothing) {
  log_set_threshold(nullptr);
  unique_fd first(open_listen_socket(0));
  ASSERT_TRUE(first.valid());
  uint16_t port = local_port(first.get());
  int descriptors = open_descriptor_count();
  log_capture log;
  EXPECT_EQ(open_listen_socket(port), -1);
  EXPECT_EQ(open_listen_socket(65536 + port), -1);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{"bind socket error: Address already in use",
                                                   "bind socket error: Address already in use"}));
  EXPECT_EQ(log.lines()[0].first, 3);
  EXPECT_EQ(open_descriptor_count(), descriptors);
}

TEST(Sockets, KeepaliveSetsAllFourOptions) {
  tcp_pair p = connect_pair();
  ASSERT_TRUE(p.server.valid());
  log_capture log;
  EXPECT_EQ(enable_keepalive(p.server.get(), 120, 15, 4), (120u + 15 * 4) * 1000);
  EXPECT_TRUE(log.lines().empty());
  EXPECT_EQ(int_option(p.server.get(), SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(int_option(p.server.get(), IPPROTO_TCP, TCP_KEEPIDLE), 120);
  EXPECT_EQ(int_option(p.server.get(), IPPROTO_TCP, TCP_KEEPINTVL), 15);
  EXPECT_EQ(int_option(p.server.get(), IPPROTO_TCP, TCP_KEEPCNT), 4);
  // No user timeout: it would end a connection whose peer answers but has no room.
  EXPECT_EQ(int_option(p.server.get(), IPPROTO_TCP, TCP_USER_TIMEOUT), 0);
}

TEST(Sockets, KeepaliveSpanSaturates) {
  struct row {
    uint32_t idle, interval, probes, span_ms;
  };
  const row rows[] = {
      {1, 1, 1, 2000},
      {7200, 75, 9, 7875000},
      {2147483, 0, 0, 2147483000},
      {2147484, 0, 0, INT32_MAX},
      {1, 65536, 65536, INT32_MAX},
      {4294967295u, 4294967295u, 4294967295u, INT32_MAX},
  };
  for (const row& r : rows) {
    EXPECT_EQ(keepalive_span_ms(r.idle, r.interval, r.probes), r.span_ms) << r.idle;
  }
}

TEST(Sockets, KeepaliveRefusedIdleStillSetsTheRest) {
  log_set_threshold(nullptr);
  tcp_pair p = connect_pair();
  ASSERT_TRUE(p.client.valid());
  int idle_before = int_option(p.client.get(), IPPROTO_TCP, TCP_KEEPIDLE);
  log_capture log;
  uint32_t span = enable_keepalive(p.client.get(), 0, 7, 3);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.has(3, "setsockopt(TCP_KEEPIDLE) error: Invalid argument"));
  EXPECT_EQ(int_option(p.client.get(), SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(int_option(p.client.get(), IPPROTO_TCP, TCP_KEEPIDLE), idle_before);
  EXPECT_EQ(int_option(p.client.get(), IPPROTO_TCP, TCP_KEEPINTVL), 7);
  EXPECT_EQ(int_option(p.client.get(), IPPROTO_TCP, TCP_KEEPCNT), 3);
  // The span is that of the keepalive in effect, with the system's idle time.
  EXPECT_EQ(span, static_cast<uint32_t>(idle_before + 7 * 3) * 1000);
}

TEST(Sockets, KeepaliveOnABadDescriptorReportsEachOption) {
  log_set_threshold(nullptr);
  log_capture log;
  EXPECT_EQ(enable_keepalive(-1, 60, 10, 5), 0u);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "setsockopt(SO_KEEPALIVE) error: Bad file descriptor",
                             "setsockopt(TCP_KEEPIDLE) error: Bad file descriptor",
                             "setsockopt(TCP_KEEPINVTL) error: Bad file descriptor",
                             "setsockopt(TCP_KEEPCNT) error: Bad file descriptor",
                         }));
  for (const auto& line : log.lines()) EXPECT_EQ(line.first, 3);
}

TEST(Sockets, CloseSocketEmptiesTheVariable) {
  scoped_threshold threshold(3);
  log_capture log;
  unique_fd sock(tcp_socket(NET_IPV4));
  ASSERT_TRUE(sock.valid());
  int fd = sock.get();
  close_socket(sock);
  EXPECT_EQ(sock.get(), -1);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_TRUE(log.lines().empty());

  close_socket(sock);
  EXPECT_EQ(sock.get(), -1);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(log.has(3, "close socket error: Bad file descriptor"));

  // The message goes through the level filter.
  log.clear();
  threshold.value = 2;
  close_socket(sock);
  EXPECT_TRUE(log.lines().empty());
}

TEST(Sockets, NonBlockingConnectCompletesOrIsRefused) {
  unique_fd listener(open_listen_socket(0));
  ASSERT_TRUE(listener.valid());
  unique_fd client(tcp_socket(NET_IPV4));
  ASSERT_EQ(set_nonblocking(client.get()), 0);
  EXPECT_TRUE(fcntl(client.get(), F_GETFL) & O_NONBLOCK);
  int rc = tcp_connect(client.get(), at_port(local_port(listener.get())));
  EXPECT_TRUE(rc == 0 || errno == EINPROGRESS) << strerror(errno);
  ASSERT_TRUE(wait_for(client.get(), POLLOUT));
  int error = -1;
  ASSERT_EQ(socket_error(client.get(), &error), 0);
  EXPECT_EQ(error, 0);

  test_port held;  // nothing listens on it
  auto closed_port = static_cast<uint16_t>(held.number());
  ASSERT_NE(closed_port, 0);
  unique_fd refused(tcp_socket(NET_IPV4));
  ASSERT_EQ(set_nonblocking(refused.get()), 0);
  rc = tcp_connect(refused.get(), at_port(closed_port));
  if (rc != 0 && errno == EINPROGRESS) {
    ASSERT_TRUE(wait_for(refused.get(), POLLOUT));
    ASSERT_EQ(socket_error(refused.get(), &error), 0);
  } else {
    error = errno;
  }
  EXPECT_EQ(error, ECONNREFUSED);

  EXPECT_EQ(socket_error(-1, &error), -1);
  EXPECT_EQ(set_nonblocking(-1), -1);
  EXPECT_EQ(accept_connection(-1, nullptr), -1);
}

TEST(Sockets, SendToAResetPeerIsAnErrorNotASignal) {
  tcp_pair p = connect_pair();
  ASSERT_TRUE(p.server.valid());
  linger hard{1, 0};
  ASSERT_EQ(setsockopt(p.server.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
  p.server.reset();  // sends a reset
  int client = p.client.get();
  // In a child with the default SIGPIPE action, a send that raised the signal would kill it.
  // The first failing send reports the reset; the ones after it meet a broken pipe.
  EXPECT_EXIT(
      {
        signal(SIGPIPE, SIG_DFL);
        int failures = 0;
        for (int i = 0; i < 500 && failures < 3; ++i) {
          if (send_bytes(client, "data", 4) >= 0) {
            usleep(10000);
            continue;
          }
          if (errno != EPIPE && errno != ECONNRESET) _exit(3);
          ++failures;
        }
        _exit(failures == 3 ? 0 : 2);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {

// Brings the loopback interface of the calling thread's network namespace up or down.
bool set_loopback(bool up) {
  unique_fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq req{};
  strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(sock.get(), SIOCGIFFLAGS, &req) != 0) return false;
  if (up) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  } else {
    req.ifr_flags = static_cast<short>(req.ifr_flags & ~IFF_UP);
  }
  return ioctl(sock.get(), SIOCSIFFLAGS, &req) == 0;
}

}  // namespace

// A peer that vanishes (its link goes down): an idle connection ends within the keepalive's span
// (the keepalive finds it). With data waiting the keepalive does not probe and the connection
// lives on; it shows what the loop watches instead: data unacknowledged, and nothing
// acknowledged for the span.
TEST(Sockets, VanishedPeerEndsTheConnectionInTheKeepaliveSpan) {
  for (bool data_waiting : {false, true}) {
    SCOPED_TRACE(data_waiting ? "data waiting" : "idle");
    bool skipped = false;
    int error = 0;
    double seconds = -1;
    tcp_progress progress;
    int progress_rc = -1;
    int progress_errno = 0;
    // In a network namespace of this thread's own, whose loopback goes down under the
    // established connection.
    std::thread in_namespace([&] {
      if (unshare(CLONE_NEWNET) != 0 || !set_loopback(true)) {
        skipped = true;
        return;
      }
      unique_fd listener(open_listen_socket(0));
      ASSERT_TRUE(listener.valid());
      unique_fd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      to.sin_port = htons(local_port(listener.get()));
      ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
      unique_fd server(accept(listener.get(), nullptr, nullptr));
      ASSERT_TRUE(server.valid());
      EXPECT_EQ(enable_keepalive(client.get(), 1, 1, 1), 2000u);
      ASSERT_TRUE(set_loopback(false));
      auto start = std::chrono::steady_clock::now();
      const std::string data(100, 'd');
      while (seconds < 0) {
        double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed > 30) break;
        if (data_waiting && elapsed > 3) {
          progress_rc = tcp_progress_of(client.get(), &progress);
          progress_errno = errno;
          break;
        }
        if (data_waiting) send(client.get(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        pollfd p{.fd = client.get(), .events = POLLIN, .revents = 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char byte = 0;
        if (recv(client.get(), &byte, 1, MSG_DONTWAIT) < 0) error = errno;
        seconds = elapsed;
      }
    });
    in_namespace.join();
    if (skipped) GTEST_SKIP() << "no network namespace for this test (needs CAP_SYS_ADMIN)";
    if (data_waiting) {
      if (progress_rc != 0 && progress_errno == ENOPROTOOPT) {
        GTEST_SKIP() << "TCP_INFO is cut short here (qemu-user passes TCP options as an int)";
      }
      ASSERT_EQ(progress_rc, 0);
      EXPECT_EQ(seconds, -1);
      EXPECT_GT(progress.unacked, 0u);
      EXPECT_GE(progress.last_ack_recv_ms, 2000u);
      EXPECT_EQ(progress.probes, 0u);
      continue;
    }
    EXPECT_EQ(error, ETIMEDOUT);
    // The bound leaves room for a loaded machine.
    EXPECT_GT(seconds, 1.0);
    EXPECT_LT(seconds, 15.0);
    printf("vanished peer: idle connection ended after %.2f s\n", seconds);
  }
}
