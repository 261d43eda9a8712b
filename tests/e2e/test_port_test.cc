// The ports the harness hands to daemons: outside the range the kernel picks from, never one
// that is held (by this or another test process) or that something listens on.
#include "test_port.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <optional>

namespace {

TEST(TestPort, RangeLiesOutsideTheEphemeralPorts) {
  struct range_case {
    const char* ephemeral;
    int first;
    int last;
  };
  for (const range_case& c : {
           range_case{"32768\t60999\n", 24576, 32767}, range_case{"10000 60999", 1808, 9999},
           range_case{"5000 50000", 50001, 58192}, range_case{"2000 60000", 0, -1},
           range_case{"", 24576, 32767},  // unreadable: the kernel's default
       }) {
    port_range r = test_port_range(c.ephemeral);
    EXPECT_EQ(r.first, c.first) << c.ephemeral;
    EXPECT_EQ(r.last, c.last) << c.ephemeral;
  }
}

TEST(TestPort, SkipsHeldPortsAndPortsWithAListener) {
  std::optional<test_port> held(std::in_place);
  const int port = held->number();
  ASSERT_GT(port, 0);
  // The hold is a name, not the port: the holder may listen on it.
  unique_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener.get(), 1), 0);

  test_port second(port);
  EXPECT_GT(second.number(), 0);
  EXPECT_NE(second.number(), port) << "a held port was handed out again";

  held.reset();
  test_port third(port);
  EXPECT_GT(third.number(), 0);
  EXPECT_NE(third.number(), port) << "a port with a listener was handed out";
}

}  // namespace
