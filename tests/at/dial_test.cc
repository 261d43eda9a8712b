#include "at/dial.h"

#include "at_fixture.h"

namespace {

using Dial = at_fixture;

// The peer address as dotted text, "" for none.
std::string peer_text(const modem_state& ms) {
  if (net_address_empty(ms.peer_addr)) return "";
  return addr_text(ms.peer_addr);
}

TEST_F(Dial, NumbersAndRefusals) {
  struct row {
    const char* line;
    const char* peer;     // "" when refused
    const char* message;  // a log line that must be there, or nullptr
  };
  const row rows[] = {
      {"ATD192168001001", "192.168.1.1", nullptr},
      {"ATDT192.168.001.001", "192.168.1.1", "\"T\" option of ATD command ignored"},
      {"ATDP192-168-001-001", "192.168.1.1", "\"P\" option of ATD command ignored"},
      {"ATD 192 168 001 001", "192.168.1.1", nullptr},
      {"atdt(192)168,001#001*", "192.168.1.1", nullptr},
      {"ATD010000000001", "10.0.0.1", nullptr},
      {"ATD255255255254", "255.255.255.254", nullptr},
      {"ATD000000000001", "0.0.0.1", nullptr},
      {"ATE0D127000000001", "127.0.0.1", nullptr},
      {"ATD19216800100", "", "bad format of phone number"},
      {"ATD1921680010011", "", "bad format of phone number"},
      // Groups above 255 and the address 0.0.0.0 cannot be connected to.
      {"ATD999999999999", "", "bad format of phone number"},
      {"ATD300000000001", "", "bad format of phone number"},
      {"ATD256000000000", "", "bad format of phone number"},
      {"ATD000000000000", "", "bad format of phone number"},
      {"ATD-", "", "bad format of phone number"},
      {"ATD+192168001001", "", "bad format of phone number"},
      {"ATD+420123", "", "bad format of phone number"},
      {"ATDTT192168001001", "", "phone number contains a letter T"},
      {"ATDT123456789012E0", "", "phone number contains a letter E"},
      {"ATD+", "", "phone number too short"},
      {"ATDT", "", "phone number too short"},
      {"ATDP", "", "phone number %s can't be normalized"},
  };
  for (const row& r : rows) {
    make_state();
    bool accepted = r.peer[0] != '\0';
    // No OK for a dial: call control reports the outcome.
    EXPECT_EQ(run(r.line), accepted ? "" : "ERROR\r\n") << r.line;
    EXPECT_EQ(peer_text(*ms), r.peer) << r.line;
    EXPECT_EQ(ms->pending_action, accepted ? ACTION_DIAL : ACTION_NONE) << r.line;
    // Nothing on a refused line runs, also not what stands before D.
    EXPECT_EQ(ms->settings.stat_echo, accepted && r.line[2] == 'E' ? 0u : 1u) << r.line;
    if (r.message != nullptr && std::string(r.message).find("%s") == std::string::npos) {
      EXPECT_TRUE(log.has(r.message[0] == '"' ? 8 : 7, r.message)) << r.line;
    }
  }
}

TEST_F(Dial, FailedNormalisationNamesTheNumber) {
  EXPECT_EQ(run("ATDP"), "ERROR\r\n");
  EXPECT_TRUE(log.has(7, "phone number too short"));
  EXPECT_TRUE(log.has(7, "phone number  can't be normalized"));
  log.clear();
  EXPECT_EQ(run("ATD12A4"), "ERROR\r\n");
  EXPECT_TRUE(log.has(7, "phone number contains a letter A"));
  EXPECT_TRUE(log.has(7, "phone number 12A4 can't be normalized"));
}

TEST_F(Dial, OptionIsLoggedInEachPass) {
  EXPECT_EQ(run("ATDT192168001001"), "");
  int count = 0;
  for (const auto& [level, text] : log.lines()) {
    if (text == "\"T\" option of ATD command ignored") {
      EXPECT_EQ(level, 8);
      ++count;
    }
  }
  EXPECT_EQ(count, 2);
}

TEST_F(Dial, AddressIsInNetworkOrder) {
  EXPECT_EQ(run("ATD192168001002"), "");
  EXPECT_TRUE(net_same_host(ms->peer_addr, net_ipv4(0xC0A80102u)));
}

TEST_F(Dial, Substitutions) {
  add_subst(SUBST_INFO, "100", "not a dial entry");
  add_subst(SUBST_DIAL, "100", "010000000001");
  add_subst(SUBST_DIAL, "+420", "192168001002xyz");
  add_subst(SUBST_DIAL, "555", "300000000001");
  add_subst(SUBST_DIAL, "556", "000000000000");
  add_subst(SUBST_DIAL, "557", "12345");
  struct row {
    const char* line;
    const char* peer;
  };
  const row rows[] = {
      {"ATD100", "10.0.0.1"},
      {"ATD1005", "10.0.0.1"},
      {"ATDT1-0-0-99", "10.0.0.1"},
      {"ATD10", ""},
      {"ATD+420123", "192.168.1.2"},
      {"ATD420123", ""},
      // A typed twelve-digit number that begins with a pattern takes the substitution.
      {"ATD100168001001", "10.0.0.1"},
      // Replacements that do not give a usable address are refused at dial time.
      {"ATD555", ""},
      {"ATD556", ""},
      {"ATD557", ""},
  };
  for (const row& r : rows) {
    ms->peer_addr = net_address{};
    ms->pending_action = ACTION_NONE;
    log.clear();
    bool accepted = r.peer[0] != '\0';
    EXPECT_EQ(run(r.line), accepted ? "" : "ERROR\r\n") << r.line;
    EXPECT_EQ(peer_text(*ms), r.peer) << r.line;
    if (!accepted) {
      EXPECT_TRUE(log.has(7, "bad format of phone number")) << r.line;
    }
  }
}

// What start-up and the settings tool say about a dial rule is what ATD then does with it.
TEST_F(Dial, RuleRefusalAgreesWithTheDialCommand) {
  struct row {
    const char* replacement;
    const char* refusal;  // nullptr: dialled
  };
  const row rows[] = {
      {"192168001001", nullptr},
      {"000000000001", nullptr},
      {"255255255255XYZ", nullptr},
      {"256000000001", "a group of three digits is above 255"},
      {"001002003999", "a group of three digits is above 255"},
      {"000000000000", "it stands for 0.0.0.0"},
      {"12345", "fewer than twelve digits"},
      {"192168001001:2000", nullptr},
      {"[2001:DB8::1]:65535", nullptr},
      {"[::]", "it stands for ::"},
      {"[::FFFF:0.0.0.0]", "it stands for 0.0.0.0"},
      {"ROUTER7.EXAMPLE.NET", nullptr},
      {"192168001001:70000", "it is not a dial target"},
      {"TLS:192168001001:2001", nullptr},
      {"TLS:[2001:DB8::1]", nullptr},
      {"TLS:000000000000", "it stands for 0.0.0.0"},
      {"TLS:12345", "it is not a dial target"},
  };
  ms->settings.tls_cert = "/etc/router.pem";
  for (const row& r : rows) {
    SCOPED_TRACE(r.replacement);
    const char* refusal = dial_text_refusal(r.replacement);
    EXPECT_STREQ(refusal != nullptr ? refusal : "", r.refusal != nullptr ? r.refusal : "");
    subst_clear(ms->subst_table, ms->subst_count);
    add_subst(SUBST_DIAL, "7", r.replacement);
    ms->peer_addr = net_address{};
    ms->peer_name[0] = '\0';
    EXPECT_EQ(run("ATD7"), r.refusal == nullptr ? "" : "ERROR\r\n");
  }
}

// An encrypted target needs the TLS settings; with TLS_ONLY=1 a plain one is refused. The
// settings tool's reason is ATD's, and a refused dial leaves no peer behind.
TEST_F(Dial, EncryptedAndPlainTargetsFollowTheTlsSettings) {
  struct row {
    const char* cert;
    uint32_t tls_only;
    const char* line;
    const char* refusal;  // logged at level 7 after "can't dial N: ", nullptr: dialled
  };
  const row rows[] = {
      {"", 0, "ATD1", "MOD_ORVANE_TLS_CERT is not set, which an encrypted call needs"},
      {"", 0, "ATD2", nullptr},
      {"/c.pem", 1, "ATD1", nullptr},
      {"/c.pem", 1, "ATD2", "MOD_ORVANE_TLS_ONLY is 1, which refuses plain calls"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    make_state();
    const char* target = r.line[3] == '1' ? "TLS:[::1]:2001" : "010000000002";
    add_subst(SUBST_DIAL, r.line + 3, target);
    ms->settings.tls_cert = r.cert;
    ms->settings.tls_only = r.tls_only;
    const char* said = dial_rule_refusal(ms->subst_table[0], ms->settings);
    EXPECT_STREQ(said != nullptr ? said : "", r.refusal != nullptr ? r.refusal : "");
    EXPECT_EQ(run(r.line), r.refusal == nullptr ? "" : "ERROR\r\n");
    if (r.refusal != nullptr) {
      EXPECT_TRUE(log.has(7, std::string("can't dial ") + (r.line + 3) + ": " + r.refusal));
    }
    EXPECT_EQ(net_address_empty(ms->peer_addr), r.refusal != nullptr);
    EXPECT_EQ(ms->peer_tls, r.refusal == nullptr && r.line[3] == '1');
  }
}

// With the Hayes commands on, ATD takes a target typed in full; a phone number (digits and dial
// modifiers) keeps its meaning, and what is neither answers ERROR.
TEST_F(Dial, TypedTargetsWithTheHayesCommands) {
  const struct {
    uint32_t compat;
    std::string line, dialled;  // the address or name, the port and the kind; "" when refused
  } rows[] = {
      {1, "ATDT192.168.1.1:23", "192.168.1.1 23 daemon"},
      {1, "ATDTbbs.example.org:2323", "BBS.EXAMPLE.ORG 2323 daemon"},
      {1, "ATD[2001:db8::1]:23", "2001:db8::1 23 daemon"},
      {1, "ATDTTELNET:bbs.example.org", "BBS.EXAMPLE.ORG 23 telnet"},
      {1, "ATDTELNET:10.0.0.7", "10.0.0.7 23 telnet"},
      {1, "ATDPRAW:010000000007", "10.0.0.7 2323 raw"},
      {1, "ATDT192-168-001-001", "192.168.1.1 2323 daemon"},
      {1, "ATDT1234W5678", ""},
      {1, "ATD1.2.3", ""},
      {1, "ATDTSSH:host", ""},
      {0, "ATDT192.168.1.1:23", ""},
  };
  for (const auto& r : rows) {
    make_state();
    ms->settings.compat = r.compat;
    EXPECT_EQ(run(r.line), r.dialled.empty() ? "ERROR\r\n" : "") << r.line;
    std::string peer = ms->peer_name[0] != '\0' ? ms->peer_name.data() : peer_text(*ms);
    if (!peer.empty())
      peer += " " + std::to_string(ms->peer_port) + " " + peer_kind_name(ms->peer_kind);
    EXPECT_EQ(peer, r.dialled) << r.line;
  }
}

TEST_F(Dial, EmptyPatternMatchesEveryNumber) {
  add_subst(SUBST_DIAL, "", "010000000009");
  EXPECT_EQ(run("ATD-"), "");
  EXPECT_EQ(peer_text(*ms), "10.0.0.9");
}

TEST_F(Dial, RefusedWhileACallHasAPeer) {
  ms->peer_addr = net_ipv4(0x0a010101);
  EXPECT_EQ(run("ATE0DT192.168.001.001"), "ERROR\r\n");
  EXPECT_TRUE(log.has(7, "can't initiate connection to 192168001001"));
  EXPECT_EQ(ms->peer_addr, net_ipv4(0x0a010101));
  EXPECT_EQ(ms->settings.stat_echo, 1u);
  EXPECT_EQ(ms->pending_action, ACTION_NONE);
}

TEST_F(Dial, SecondDialInTheSameChunkIsRefused) {
  EXPECT_EQ(type("ATD192168001001\rATD010000000001\r"),
            "ATD192168001001\r\nATD010000000001\r\nERROR\r\n");
  EXPECT_EQ(peer_text(*ms), "192.168.1.1");
  EXPECT_EQ(ms->pending_action, ACTION_DIAL);
}

TEST_F(Dial, CheckPassChangesNothing) {
  std::string text = "T192168001001";
  EXPECT_EQ(cmd_dial(*ms, text.data(), true), 13);
  EXPECT_EQ(text, "T192168001001");
  EXPECT_TRUE(net_address_empty(ms->peer_addr));
  EXPECT_EQ(ms->pending_action, ACTION_NONE);
  EXPECT_EQ(cmd_dial(*ms, text.data(), false), 13);
  EXPECT_EQ(peer_text(*ms), "192.168.1.1");
  EXPECT_EQ(drain(), "");
}

}  // namespace
