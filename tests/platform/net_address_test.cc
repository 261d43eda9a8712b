#include "platform/net_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>

namespace {

TEST(NetAddress, ParseAndTextForm) {
  struct {
    const char* text;
    net_family family;
    const char* shown;  // nullptr: refused
  } cases[] = {
      {"192.168.1.1", NET_IPV4, "192.168.1.1"},
      {"0.0.0.0", NET_IPV4, "0.0.0.0"},
      {"255.255.255.255", NET_IPV4, "255.255.255.255"},
      {"192.168.001.001", NET_NONE, nullptr},
      {"192.168.1", NET_NONE, nullptr},
      {"256.0.0.1", NET_NONE, nullptr},
      {"", NET_NONE, nullptr},
      // RFC 5952: lower case, no leading zeros, the longest zero run, the first of equal runs,
      // never a single zero group.
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", NET_IPV6, "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", NET_IPV6, "2001:db8::1:0:0:1"},
      {"2001:db8:0:0:0:1:0:0", NET_IPV6, "2001:db8::1:0:0"},
      {"2001:db8:0:1:1:1:1:1", NET_IPV6, "2001:db8:0:1:1:1:1:1"},
      {"2001:db8::", NET_IPV6, "2001:db8::"},
      {"::", NET_IPV6, "::"},
      {"::1", NET_IPV6, "::1"},
      {"1:0:0:2:0:0:0:3", NET_IPV6, "1:0:0:2::3"},
      {"fe80::abcd:ef01", NET_IPV6, "fe80::abcd:ef01"},
      {"::102:304", NET_IPV6, "::102:304"},
      // A mapped address is the IPv4 one it carries.
      {"::ffff:192.0.2.1", NET_IPV4, "192.0.2.1"},
      {"::FFFF:c000:0201", NET_IPV4, "192.0.2.1"},
      {"::fffe:c000:201", NET_IPV6, "::fffe:c000:201"},
      {"2001:db8:::1", NET_NONE, nullptr},
      {"[::1]", NET_NONE, nullptr},
      {"fe80::1%eth0", NET_NONE, nullptr},
      {"2001:db8:0:0:0:0:0:0:1", NET_NONE, nullptr},
      {"1111:2222:3333:4444:5555:6666:7777:8888:", NET_NONE, nullptr},
      {"1111:2222:3333:4444:5555:6666:255.255.255.255x", NET_NONE, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    net_address addr;
    addr.port = 7;
    bool parsed = net_address_parse(c.text, addr);
    ASSERT_EQ(parsed, c.shown != nullptr);
    if (!parsed) {
      EXPECT_EQ(addr.port, 7);  // left as it was
      continue;
    }
    EXPECT_EQ(addr.family, c.family);
    EXPECT_EQ(addr.port, 0);
    EXPECT_STREQ(addr_text(addr), c.shown);
    // The C library writes the same text, except that it shows the deprecated IPv4-compatible
    // form (::a.b.c.d) mixed, where RFC 5952 leaves the choice open.
    char kernel[INET6_ADDRSTRLEN];
    inet_ntop(c.family == NET_IPV6 ? AF_INET6 : AF_INET, addr.bytes.data(), kernel, sizeof kernel);
    if (strcmp(c.text, "::102:304") != 0) {
      EXPECT_STREQ(kernel, c.shown);
    }
  }
  EXPECT_STREQ(addr_text(net_address{}), "0.0.0.0");
  EXPECT_STREQ(addr_text(net_ipv4(0x0a000203)), "10.0.2.3");
}

TEST(NetAddress, SocketAddressBothWays) {
  struct {
    const char* text;
    uint16_t port;
    int sa_family;
  } cases[] = {
      {"10.0.2.3", 2000, AF_INET},
      {"2001:db8::1", 65535, AF_INET6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    net_address addr;
    ASSERT_TRUE(net_address_parse(c.text, addr));
    addr.port = c.port;
    sockaddr_storage ss{};
    socklen_t len = net_address_to_sockaddr(addr, ss);
    EXPECT_EQ(ss.ss_family, c.sa_family);
    EXPECT_EQ(len, c.sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    EXPECT_EQ(net_address_from_sockaddr(ss), addr);
  }
  // An IPv4 caller on a dual-stack socket.
  sockaddr_storage ss{};
  auto* sin6 = reinterpret_cast<sockaddr_in6*>(&ss);
  sin6->sin6_family = AF_INET6;
  sin6->sin6_port = htons(4000);
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &sin6->sin6_addr);
  net_address caller = net_address_from_sockaddr(ss);
  EXPECT_EQ(caller.family, NET_IPV4);
  EXPECT_EQ(caller.port, 4000);
  EXPECT_TRUE(net_same_host(caller, net_ipv4(INADDR_LOOPBACK)));
  EXPECT_EQ(net_ipv4_value(caller), uint32_t{INADDR_LOOPBACK});
  EXPECT_EQ(net_address_to_sockaddr(net_address{}, ss), 0u);
}

}  // namespace
