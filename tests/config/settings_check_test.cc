#include "config/settings_check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "config/settings.h"
#include "test_support.h"

namespace {

// A file as AT&W writes it, with values that need no word: 30 lines, MOD_ORVANE_PORT the 8th.
std::string correct_file() {
  modem_settings s = sample_modem_settings();
  s.enabled = 1;
  s.baudrate = 115200;
  s.databits = 8;
  s.parity = "N";
  s.stopbits = 1;
  s.port = 2000;
  s.sysloglev = 6;
  return settings_format(s);
}

// (level, text) of each finding the daemon logs, the tool's advice left out.
std::vector<std::pair<int, std::string>> logged(const settings_checked& c) {
  std::vector<std::pair<int, std::string>> out;
  for (const settings_finding& f : c.findings) {
    if (!f.advice) out.emplace_back(f.level, f.text);
  }
  return out;
}

TEST(SettingsCheck, LinesThatMeanSomethingElse) {
  const std::string cut_allow = "10.0.0.0/8," + std::string(16400, ' ') + "126.0.0.0/16";
  struct row {
    std::string lines;  // added to a correct file
    std::vector<std::pair<int, std::string>> findings;
  };
  const row rows[] = {
      {"MOD_ORVANE_FLOWCONTROL=x3\n",
       {{4, "MOD_ORVANE_FLOWCONTROL: \"x3\" is not a number; read as 0"}}},
      {"mod_orvane_flowcontrol=12abc\n",
       {{4, "MOD_ORVANE_FLOWCONTROL: \"12abc\" is not a number; read as 12"},
        {3, "invalid flow control 12 (0, 3 or 4 expected)"}}},
      // A correct file says nothing; empty is the saved form of 0; blanks around digits read
      // as written.
      {"", {}},
      {"MOD_ORVANE_FLOWCONTROL=\nMOD_ORVANE_ALLOW= 10.0.0.1 \n", {}},
      {"MOD_ORVANE_FLOWCONTROL= 3 \n", {}},
      {"MOD_ORVANE_BAUDRTE=9600\n",
       {{4, "MOD_ORVANE_BAUDRTE is not a key; did you mean MOD_ORVANE_BAUDRATE?"}}},
      {"Mod_Orvane_Sreg_Cr_X=1\nMOD_ORVANE_TLS=1\nOTHER_KEY=1\n# MOD_ORVANE_X\n",
       {{4, "Mod_Orvane_Sreg_Cr_X is not a key; did you mean MOD_ORVANE_SREG_CR?"},
        {4, "MOD_ORVANE_TLS is not a key"}}},
      {"MOD_ORVANE_PORT=2001\n",
       {{4, "MOD_ORVANE_PORT is given twice (lines 8 and 31): the first is used"}}},
      // An access key given twice: the same list is only warned, another refuses the file.
      {"MOD_ORVANE_ALLOW=10.0.0.0/8\nMOD_ORVANE_ALLOW=\"10.0.0.0/8\"\n",
       {{4, "MOD_ORVANE_ALLOW is given twice (lines 31 and 32): the first is used"}}},
      {"MOD_ORVANE_ALLOW=\nMOD_ORVANE_ALLOW=10.0.0.0/8\n",
       {{3, "MOD_ORVANE_ALLOW is given twice with different values (lines 31 and 32)"}}},
      // The refusals in start-up's order: the file's own, then the values'.
      {"MOD_ORVANE_ALLOW=1.2.3\nMOD_ORVANE_ALLOW=10.0.0.1\nMOD_ORVANE_FLOWCONTROL=5\n",
       {{3, "MOD_ORVANE_ALLOW is given twice with different values (lines 31 and 32)"},
        {3, "MOD_ORVANE_ALLOW: \"1.2.3\" is not an IPv4 address or prefix"},
        {3, "invalid flow control 5 (0, 3 or 4 expected)"}}},
      {"MOD_ORVANE_ALLOW=" + cut_allow + "\n",
       {{3,
         "settings file PATH: the line of MOD_ORVANE_ALLOW is longer than 16383 characters: "
         "a cut value is not used"}}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.lines.substr(0, 60));
    temp_dir dir;
    std::string path = dir.file("settings");
    write_file(path, correct_file() + r.lines);
    std::vector<std::pair<int, std::string>> want = r.findings;
    std::string first_refusal;
    for (auto& [level, text] : want) {
      if (text.starts_with("settings file PATH")) text.replace(14, 4, path);
      if (level == 3 && first_refusal.empty()) first_refusal = text;
    }
    settings_checked c = settings_check_file(path.c_str());
    EXPECT_EQ(logged(c), want);
    const settings_finding* refused = settings_refusal(c);
    EXPECT_EQ(refused != nullptr ? refused->text : "", first_refusal);
    EXPECT_TRUE(c.read);
  }
}

// The TLS keys: all three files or none, paths trusted as links are, a private key kept
// private, the values each key takes. A build without TLS refuses them all.
TEST(SettingsCheck, TlsSettings) {
  temp_dir dir;
  const std::string c = dir.file("c.pem"), k = dir.file("k.pem"), open = dir.file("open.pem");
  for (const auto& [path, mode] : {std::pair{c, 0644}, {k, 0600}, {open, 0640}}) {
    write_file(path, "pem");
    ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(mode)), 0);
  }
  ASSERT_EQ(mkdir(dir.file("w").c_str(), 0777), 0);
  ASSERT_EQ(chmod(dir.file("w").c_str(), 0777), 0);  // the umask aside
  ASSERT_EQ(symlink(k.c_str(), dir.file("w/k.pem").c_str()), 0);
  struct row {
    std::string key, ca;
    uint32_t port = 0, only = 0;
    const char* peers = "";
    std::string findings;  // level and text of each, "|" between them
  };
  const std::string w = dir.file("w");
  const std::string need =
      " is not set: encrypted calls need MOD_ORVANE_TLS_CERT, MOD_ORVANE_TLS_KEY and "
      "MOD_ORVANE_TLS_CA";
  const row rows[] = {
      {k, c, 2001, 1, "router1.example.net, Router_2\tmeter-3,", ""},
      {"", "", 0, 0, "", "3 MOD_ORVANE_TLS_KEY" + need + "|3 MOD_ORVANE_TLS_CA" + need},
      {w + "/k.pem", c, 0, 0, "",
       "3 MOD_ORVANE_TLS_KEY: not following link " + w + "/k.pem: directory " + w +
           " is writable by group or others"},
      {open, c, 0, 0, "",
       "4 MOD_ORVANE_TLS_KEY: " + open + " can be read by its group or others (mode 0640)"},
      {k, c, 2000, 0, "", "3 MOD_ORVANE_TLS_PORT: 2000 is MOD_ORVANE_PORT's port as well"},
      {k, c, 0, 0, "a,b/c",
       "3 MOD_ORVANE_TLS_PEERS: \"b/c\" is not a certificate name (letters, digits, hyphens, "
       "underscores and dots)"},
      {k, c, 0, 2, "", "3 MOD_ORVANE_TLS_ONLY: 2 is neither 0 nor 1"},
      {k + "\n", c, 0, 0, "",
       "3 MOD_ORVANE_TLS_KEY: a line break or '\"' cannot be saved in the settings file"},
      {k, c, 0, 1, "",
       "4 MOD_ORVANE_TLS_ONLY: 1 without MOD_ORVANE_TLS_PORT: no call can reach this modem"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.key + " " + r.peers);
    modem_settings s = sample_modem_settings();
    s.port = 2000;
    std::tie(s.tls_cert, s.tls_key, s.tls_ca, s.tls_port, s.tls_peers, s.tls_only) =
        std::tie(c, r.key, r.ca, r.port, r.peers, r.only);
    std::vector<settings_finding> found;
    settings_check_values(s, found);
    std::string said;
    for (const settings_finding& f : found) {
      if (!f.key.starts_with("MOD_ORVANE_TLS_")) continue;
      if (!said.empty()) said += '|';
      said += std::to_string(f.level);
      said += ' ';
      said += f.text;
    }
    EXPECT_EQ(said, ORVANED_HAVE_TLS != 0 ? r.findings
                                          : "3 MOD_ORVANE_TLS_CERT is set, but this daemon is "
                                            "built without encrypted calls");
  }
}

// Moved with the limits from the register table of the S command.
TEST(SettingsCheck, StartUpWarnsAboutValuesBeyondWhatTakesEffect) {
  modem_settings s = sample_modem_settings();
  s.serial = 0;
  s.sreg_ring_int = 2147483647u;  // the largest that takes effect: no warning
  s.sreg_conn_tout = 2147483648u;
  s.sreg_hup_delay = 214748365;
  s.sreg_split = 4294967295u;      // every S11 from 1000 on acts alike
  s.sreg_esc_delay = 4294967295u;  // takes effect whole
  s.sreg_dtr_ignore = 4294967295u;
  std::vector<settings_finding> found;
  settings_check_values(s, found);
  std::vector<std::string> warnings;
  for (const settings_finding& f : found) {
    if (f.level == 4 && !f.advice) warnings.push_back(settings_finding_line(f));
  }
  EXPECT_EQ(warnings, (std::vector<std::string>{
                          "MOD_ORVANE_SREG_CONN_TOUT: S7 is 2147483648, above 2147483647: it "
                          "takes effect as 2147483647",
                          "MOD_ORVANE_SREG_HUP_DELAY: S10 is 214748365, above 214748364: it "
                          "takes effect as 214748364",
                      }));
}

}  // namespace
