#include "e2e/call_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/net_address.h"

namespace {

sockaddr_in loopback_address(const char* ip, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &addr.sin_addr);
  return addr;
}

// Milliseconds left until the deadline, 0 when it has passed.
int millis_left(steady_deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `events` on `fd`; false on time-out.
bool wait_for(int fd, short events, steady_deadline deadline) {
  for (;;) {
    pollfd pfd{fd, events, 0};
    int n = poll(&pfd, 1, millis_left(deadline));
    if (n > 0) return true;
    if (n == 0 || errno != EINTR) return false;
  }
}

std::string printable(std::string_view bytes) { return testing::PrintToString(std::string(bytes)); }

}  // namespace

void use_call_settings(sandbox& box) {
  box.set("MOD_ORVANE_STAT_DTR_ACTION", "0");
  box.set("MOD_ORVANE_SREG_SPLIT", "0");
  box.set("MOD_ORVANE_SREG_RING_INT", "30");
}

unique_fd listen_loopback(int port, int rcvbuf) {
  unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    ADD_FAILURE() << "socket: " << strerror(errno);
    return {};
  }
  int one = 1;
  setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (rcvbuf > 0) setsockopt(sock.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in addr = loopback_address("127.0.0.1", port);
  if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(sock.get(), 8) != 0) {
    ADD_FAILURE() << "bind/listen on 127.0.0.1:" << port << ": " << strerror(errno);
    return {};
  }
  return sock;
}

int local_port(int sock) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
  return ntohs(addr.sin_port);
}

unique_fd accept_within(int listener, steady_deadline deadline) {
  if (!wait_for(listener, POLLIN, deadline)) return {};
  return unique_fd(accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

unique_fd connect_loopback(int port, const char* source) {
  // A source with a ':' is an IPv6 one: the connection then goes to ::1.
  bool v6 = source != nullptr && strchr(source, ':') != nullptr;
  unique_fd sock(socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    ADD_FAILURE() << "socket: " << strerror(errno);
    return {};
  }
  sockaddr_storage ss{};
  if (source != nullptr) {
    net_address from;
    socklen_t len = net_address_parse(source, from) ? net_address_to_sockaddr(from, ss) : 0;
    if (bind(sock.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) {
      ADD_FAILURE() << "bind to " << source << ": " << strerror(errno);
      return {};
    }
  }
  net_address to;
  net_address_parse(v6 ? "::1" : "127.0.0.1", to);
  to.port = static_cast<uint16_t>(port);
  socklen_t len = net_address_to_sockaddr(to, ss);
  if (connect(sock.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) {
    ADD_FAILURE() << "connect to " << addr_text(to) << " port " << port << ": " << strerror(errno);
    return {};
  }
  return sock;
}

bool send_all(int sock, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string recv_until(int sock, std::string_view expected, steady_deadline deadline) {
  std::string got;
  while (got.find(expected) == std::string::npos && wait_for(sock, POLLIN, deadline)) {
    char buf[4096];
    ssize_t n = recv(sock, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

std::string recv_for(int sock, std::chrono::milliseconds duration) {
  return recv_until(sock, std::string_view("\0\xff\0never", 8),
                    std::chrono::steady_clock::now() + duration);
}

bool wait_peer_closed(int sock, steady_deadline deadline) {
  while (wait_for(sock, POLLIN, deadline)) {
    char buf[4096];
    ssize_t n = recv(sock, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
  return false;
}

void close_with_reset(unique_fd& sock) {
  linger abort_close{1, 0};
  setsockopt(sock.get(), SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  sock.reset();
}

testing::AssertionResult serial_gets(daemon_process& d, std::string_view expected, double seconds) {
  std::string got = d.serial_read_until(expected, seconds_from_now(seconds));
  if (got == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "DTE expected " << printable(expected) << "\n     got " << printable(got) << "\nlog:\n"
         << d.log_text();
}

testing::AssertionResult serial_exchange(daemon_process& d, std::string_view typed,
                                         std::string_view expected, double seconds) {
  if (!d.serial_write(typed)) {
    return testing::AssertionFailure() << "cannot type " << printable(typed);
  }
  return serial_gets(d, expected, seconds);
}

testing::AssertionResult set_dial_port(sandbox& box, daemon_process& d, int port) {
  box.set("MOD_ORVANE_PORT", std::to_string(port));
  return serial_exchange(d, "ATZ\r", "ATZ\r\nOK\r\n");
}

testing::AssertionResult start_modem(modem& m) {
  if (!m.box.ok()) return testing::AssertionFailure() << "sandbox: " << m.box.error();
  if (!m.d.start()) return testing::AssertionFailure() << "cannot start the daemon";
  return m.d.wait_running(seconds_from_now(15));
}

void stop_modem(modem& m) {
  if (!m.d.alive()) return;
  EXPECT_TRUE(m.d.send_signal(SIGTERM));
  EXPECT_EQ(m.d.wait_exit(seconds_from_now(15)), 0) << m.d.log_text();
}

testing::AssertionResult connect_modems(modem& caller, modem& callee, bool answer_with_ata) {
  testing::AssertionResult step = set_dial_port(caller.box, caller.d, callee.box.port());
  // An auto-answering callee connects within milliseconds, so the caller may read the dial's
  // echo and CONNECT in one piece.
  std::string caller_sees(kConnect);
  if (step && answer_with_ata) {
    step = serial_exchange(caller.d, kDialLoopback, kDialLoopbackEcho);
    if (step) step = serial_gets(callee.d, "RING\r\n", 10);
    if (step) step = serial_exchange(callee.d, "ATA\r", "ATA\r\n" + std::string(kConnect));
  } else if (step) {
    if (!caller.d.serial_write(kDialLoopback)) return testing::AssertionFailure() << "cannot dial";
    caller_sees = std::string(kDialLoopbackEcho) + caller_sees;
    step = serial_gets(callee.d, "RING\r\n" + std::string(kConnect), 10);
  }
  if (step) step = serial_gets(caller.d, caller_sees, 10);
  return step;
}

std::string random_bytes(size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(count, '\0');
  for (size_t i = 0; i < count; i += 4) {
    uint32_t word = gen();
    for (size_t k = 0; k < 4 && i + k < count; ++k)
      bytes[i + k] = static_cast<char>(word >> (8 * k));
  }
  return bytes;
}

std::string first_difference(const std::string& got, const std::string& want) {
  size_t at = 0;
  while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
  char text[160];
  snprintf(text, sizeof text, "got %zu bytes, expected %zu; first difference at offset %zu",
           got.size(), want.size(), at);
  return text;
}
