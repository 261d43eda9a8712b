#include "test_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr int kRangeSize = 8192;
constexpr int kLowestPort = 1024;
constexpr int kHighestPort = 65535;

// Holds the name "orvaned-test-port-N" in the abstract Unix socket namespace; an empty
// descriptor when another process holds it.
unique_fd hold_name(int port) {
  unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return {};
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  int n = snprintf(addr.sun_path + 1, sizeof addr.sun_path - 1, "orvaned-test-port-%d", port);
  // The name's closing NUL is part of it: qemu-user appends one to a name without, and the
  // holders must agree on the name whether they run natively or emulated.
  auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n + 1);
  if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) return {};
  return sock;
}

// A listening socket could be bound to the port on every address right now.
bool bindable(int port) {
  unique_fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return false;
  int one = 1;
  setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

std::string ephemeral_range_text() {
  std::ifstream file("/proc/sys/net/ipv4/ip_local_port_range");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

port_range test_port_range(const char* ephemeral_range) {
  int low = 0;
  int high = 0;
  if (sscanf(ephemeral_range, "%d %d", &low, &high) != 2 || low > high) {
    low = 32768;  // the kernel's default
    high = 60999;
  }
  if (low - kRangeSize >= kLowestPort) return {low - kRangeSize, low - 1};
  if (high + kRangeSize <= kHighestPort) return {high + 1, high + kRangeSize};
  return {};
}

test_port::test_port(int first) {
  static const port_range range = test_port_range(ephemeral_range_text().c_str());
  int size = range.last - range.first + 1;
  if (size <= 0) return;
  // Processes started together begin at different places, so they seldom meet.
  static int next = 0;
  int start = first >= range.first && first <= range.last
                  ? first - range.first
                  : static_cast<int>((static_cast<unsigned>(getpid()) * 2654435761U + next) % size);
  for (int i = 0; i < size; ++i) {
    int port = range.first + (start + i) % size;
    unique_fd hold = hold_name(port);
    if (hold.valid() && bindable(port)) {
      number_ = port;
      next += i + 1;
      hold_ = std::move(hold);
      return;
    }
  }
}
