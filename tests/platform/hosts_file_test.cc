#include "platform/hosts_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

// Lookups in one file: case, aliases, comments, both families, duplicates, bad lines.
TEST(HostsFile, LooksUpNamesAndAliases) {
  temp_dir dir;
  std::string path = dir.path() + "/hosts";
  write_file(path,
             "127.0.0.1\tlocalhost\n"
             "# 192.0.2.9 router7\n"
             "192.0.2.1 router7.example.net router7  # the far router\n"
             "2001:db8::1 Router7.Example.Net\n"
             "192.0.2.1 router7\n"
             "fe80::1%eth0 router7\n"
             "not-an-address router7\n"
             "192.0.2.2 other router7x\n");
  struct row {
    const char* name;
    std::vector<std::string> addresses;
  };
  const row rows[] = {
      {"ROUTER7.EXAMPLE.NET", {"192.0.2.1", "2001:db8::1"}},
      {"router7", {"192.0.2.1"}},
      {"OTHER", {"192.0.2.2"}},
      {"router", {}},
      {"192.0.2.1", {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    net_address out[4];
    int n = hosts_lookup(path.c_str(), r.name, out);
    std::vector<std::string> got;
    for (int i = 0; i < n; ++i) got.emplace_back(addr_text(out[i]));
    EXPECT_EQ(got, r.addresses);
  }
  net_address one[1];
  EXPECT_EQ(hosts_lookup(path.c_str(), "router7.example.net", one), 1);
  EXPECT_EQ(hosts_lookup((dir.path() + "/missing").c_str(), "localhost", one), 0);
}

}  // namespace
