#include "config/allow_list.h"

#include <gtest/gtest.h>

#include <string>

namespace {

net_address addr(const char* text) {
  net_address a;
  EXPECT_TRUE(net_address_parse(text, a)) << text;
  return a;
}

TEST(AllowList, CallersInsideAndOutsideTheEntries) {
  struct {
    const char* list;
    const char* caller;
    bool allowed;
  } cases[] = {
      {"", "203.0.113.9", true},
      {" , ,", "203.0.113.9", true},
      {"127.0.0.2", "127.0.0.2", true},
      {"127.0.0.2", "127.0.0.3", false},
      {"10.0.0.0/8, 192.168.1.7", "10.255.255.255", true},
      {"10.0.0.0/8, 192.168.1.7", "11.0.0.0", false},
      {"10.0.0.0/8, 192.168.1.7", "192.168.1.7", true},
      {"10.0.0.0/8, 192.168.1.7", "192.168.1.8", false},
      {"10.0.0.0/8,192.168.1.7", "192.168.1.7", true},
      {"\t10.0.0.0/8 ,, 192.168.1.7 ", "192.168.1.7", true},
      {"192.168.1.0/24", "192.168.1.255", true},
      {"192.168.1.0/24", "192.168.2.0", false},
      {"192.168.1.0/25", "192.168.1.127", true},
      {"192.168.1.0/25", "192.168.1.128", false},
      // Host bits of a prefix do not count.
      {"192.168.1.77/24", "192.168.1.1", true},
      {"0.0.0.0/0", "255.255.255.255", true},
      {"1.2.3.4/32", "1.2.3.4", true},
      {"1.2.3.4/32", "1.2.3.5", false},
      {"1.2.3.4/31", "1.2.3.5", true},
      {"1.2.3.4/31", "1.2.3.6", false},
      {"128.0.0.0/1", "127.255.255.255", false},
      {"128.0.0.0/1", "128.0.0.0", true},
      // Leading zeros are decimal, as in a dialled number.
      {"192.168.001.010", "192.168.1.10", true},
      {"192.168.001.010", "192.168.1.8", false},
      // IPv6 entries cover IPv6 callers; an IPv4 entry covers an IPv4 caller that arrived as a
      // mapped address (the socket layer gives it as IPv4).
      {"2001:db8::/32", "2001:db8:ffff::1", true},
      {"2001:db8::/32", "2001:db9::1", false},
      {"::1/128", "::2", false},
      {"2001:DB8::7/64", "2001:db8::ffff", true},
      {"fe80::/10", "fec0::1", false},
      {"10.0.0.0/8", "::ffff:10.1.2.3", true},
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},
      {"::/0", "10.0.0.1", false},
      {"::/0", "2001:db8::1", true},
      {"10.0.0.0/8", "2001:db8::1", false},
  };
  for (const auto& c : cases) {
    allow_list list;
    std::string bad;
    ASSERT_TRUE(allow_list_parse(c.list, list, bad)) << c.list << ": " << bad;
    EXPECT_EQ(allow_list_permits(list, addr(c.caller)), c.allowed)
        << "list \"" << c.list << "\", caller " << c.caller;
  }
}

TEST(AllowList, InvalidEntryIsNamedAndTheListKept) {
  struct {
    const char* list;
    const char* bad;
  } cases[] = {
      {"10.0.0.256", "10.0.0.256"},
      {"10.0.0.0/33", "10.0.0.0/33"},
      {"10.0.0.0/", "10.0.0.0/"},
      {"10.0.0.0/-1", "10.0.0.0/-1"},
      {"10.0.0", "10.0.0"},
      {"10.0.0.1.2", "10.0.0.1.2"},
      {"10.0.0.", "10.0.0."},
      {".10.0.0.1", ".10.0.0.1"},
      {"10..0.1", "10..0.1"},
      {"1000.0.0.1", "1000.0.0.1"},
      {"0010.0.0.1", "0010.0.0.1"},
      {"+1.0.0.1", "+1.0.0.1"},
      {"10.0.0.0/8x", "10.0.0.0/8x"},
      {"localhost", "localhost"},
      {"2001:db8::/129", "2001:db8::/129"},
      {"2001:::1", "2001:::1"},
      {"fe80::1%eth0", "fe80::1%eth0"},
      {"[::1]", "[::1]"},
      {"::ffff:10.0.0.0/95", "::ffff:10.0.0.0/95"},
      {"10.0.0.1;10.0.0.2", "10.0.0.1;10.0.0.2"},
      {"10.0.0.0/8 10.0.0.x 10.0.0.y", "10.0.0.x"},
      {"10.0.0.0/8, 192.168.1.7/", "192.168.1.7/"},
  };
  for (const auto& c : cases) {
    allow_list list;
    std::string bad;
    ASSERT_TRUE(allow_list_parse("127.0.0.2", list, bad));
    EXPECT_FALSE(allow_list_parse(c.list, list, bad)) << c.list;
    EXPECT_EQ(bad, c.bad) << c.list;
    // The list in force stays as it was.
    EXPECT_TRUE(allow_list_permits(list, addr("127.0.0.2"))) << c.list;
    EXPECT_FALSE(allow_list_permits(list, addr("127.0.0.3"))) << c.list;
  }
}

TEST(AllowList, AnEmptyTextEmptiesTheList) {
  allow_list list;
  std::string bad;
  ASSERT_TRUE(allow_list_parse("127.0.0.2", list, bad));
  ASSERT_FALSE(allow_list_permits(list, addr("127.0.0.3")));
  ASSERT_TRUE(allow_list_parse("", list, bad));
  EXPECT_TRUE(allow_list_permits(list, addr("127.0.0.3")));
  EXPECT_TRUE(list.entries.empty());
}

}  // namespace
