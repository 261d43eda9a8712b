#include "config/tls_peers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(TlsPeers, ListedNamesTakePartInAnyLetterCase) {
  struct row {
    const char* list;
    const char* name;
    bool allowed;
  };
  const row rows[] = {
      {"", "anything.example.net", true},
      {" , ", "anything", true},
      {"router1.example.net, meter-3", "ROUTER1.example.NET", true},
      {"router1.example.net, meter-3", "meter-3", true},
      {"router1.example.net meter-3", "meter", false},
      {"router1.example.net", "router1.example.net.evil", false},
      {"router1.example.net", "", false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.list) + " / " + r.name);
    std::vector<std::string> names;
    std::string bad;
    ASSERT_TRUE(tls_peers_parse(r.list, names, bad));
    EXPECT_EQ(tls_peer_allowed(names, r.name), r.allowed);
  }
}

TEST(TlsPeers, ABadNameLeavesTheListAsItWas) {
  std::vector<std::string> names = {"kept"};
  std::string bad;
  EXPECT_FALSE(tls_peers_parse("good.example.net,*.example.net", names, bad));
  EXPECT_EQ(bad, "*.example.net");
  EXPECT_EQ(names, std::vector<std::string>{"kept"});
}

}  // namespace
