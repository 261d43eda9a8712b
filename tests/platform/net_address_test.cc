#include "platform/net_address.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

namespace {

// RFC 5952 text: lower case, no leading zeros, the longest zero run (the first of equal ones,
// never a single group); a mapped address is the IPv4 one it carries; nullptr: refused.
TEST(NetAddress, ParseAndTextForm) {
  const std::pair<const char*, const char*> cases[] = {
      {"192.168.1.1", "192.168.1.1"},
      {"192.168.001.001", nullptr},
      {"256.0.0.1", nullptr},
      {"2001:0DB8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},
      {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
      {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
      {"::", "::"},
      {"::1", "::1"},
      {"::102:304", "::102:304"},
      {"::ffff:192.0.2.1", "192.0.2.1"},
      {"::FFFF:c000:0201", "192.0.2.1"},
      {"2001:db8:::1", nullptr},
      {"[::1]", nullptr},
      {"fe80::1%eth0", nullptr},
  };
  for (const auto& [text, shown] : cases) {
    net_address addr;
    addr.port = 7;
    ASSERT_EQ(net_address_parse(text, addr), shown != nullptr) << text;
    EXPECT_STREQ(addr_text(addr), shown != nullptr ? shown : "0.0.0.0") << text;
    EXPECT_EQ(addr.port, shown != nullptr ? 0 : 7) << text;  // a refusal changes nothing
  }
}

TEST(NetAddress, MappedCallerFromTheSocketIsIpv4) {
  sockaddr_storage ss{};
  net_address mapped;
  ASSERT_TRUE(net_address_parse("::1", mapped));
  mapped.bytes = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
  mapped.port = 4000;
  net_address_to_sockaddr(mapped, ss);
  net_address want = net_ipv4(INADDR_LOOPBACK);
  want.port = 4000;
  EXPECT_EQ(net_address_from_sockaddr(ss), want);
}

}  // namespace
