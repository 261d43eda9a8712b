// orvane-settings run as an operator runs it, on settings files in temporary roots.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "config/base64.h"
#include "config/factory_settings.h"
#include "config/settings.h"
#include "test_support.h"
#include "tools/run_program.h"
#include "tools/settings_fields.h"

#ifndef SETTINGS_TOOL
#error "SETTINGS_TOOL must name the orvane-settings binary"
#endif
#ifndef SOURCE_DIR
#error "SOURCE_DIR must name the source tree"
#endif

namespace {

using testing::HasSubstr;
using testing::Not;

const std::string sample_settings = read_file(SOURCE_DIR "/packaging/settings");

// A root with the sample settings file where the daemon looks for it.
class settings_root {
 public:
  settings_root() {
    std::filesystem::create_directories(dir_.path() + "/opt/orvane/etc");
    write_file(path(), sample_settings);
  }
  const std::string& root() const { return dir_.path(); }
  std::string path() const { return dir_.path() + "/opt/orvane/etc/settings"; }
  std::string content() const { return read_file(path()); }
  modem_settings load() const {
    modem_settings s;
    settings_load(s, path().c_str());
    return s;
  }
  // Runs orvane-settings with ORVANED_ROOT set to this root.
  program_result tool(std::vector<std::string> args, const std::string& input = "") const {
    args.insert(args.begin(), SETTINGS_TOOL);
    return run_program(args, {"ORVANED_ROOT=" + root()}, input);
  }

 private:
  temp_dir dir_;
};

std::string show_line(const program_result& shown, const std::string& key) {
  std::string out = "\n" + shown.out;
  size_t at = out.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  at += 1;
  return out.substr(at, out.find('\n', at) - at);
}

TEST(OrvaneSettings, SampleIsReadAsTheDaemonReadsIt) {
  ASSERT_FALSE(sample_settings.empty());
  settings_root box;
  program_result shown = box.tool({"show"});
  ASSERT_EQ(shown.status, 0) << shown.err;
  EXPECT_EQ(show_line(shown, "MOD_ORVANE_BAUDRATE"), "MOD_ORVANE_BAUDRATE=115200");
  // Written empty in the file, read as 0 by the daemon.
  EXPECT_EQ(show_line(shown, "MOD_ORVANE_KEEPALIVE_TIME"), "MOD_ORVANE_KEEPALIVE_TIME=0");
  EXPECT_EQ(show_line(shown, "MOD_ORVANE_PARITY"), "MOD_ORVANE_PARITY=N");
  for (const settings_key& field : settings_keys) {
    EXPECT_THAT(shown.out, HasSubstr(std::string(field.key) + "=")) << field.key;
  }
  program_result got = box.tool({"get", "sreg_esc_delay"});
  EXPECT_EQ(got.status, 0);
  EXPECT_EQ(got.out, "50\n");
}

// AT&F's factory profile is what the sample sets; the sample turns the Hayes commands on.
TEST(OrvaneSettings, SampleHoldsTheFactoryProfile) {
  modem_settings s = settings_root().load();
  EXPECT_EQ(s.compat, 1u);
  for (size_t i = 0; i < std::size(factory_values); ++i) {
    EXPECT_EQ(s.*factory_values[i].field, factory_values[i].value) << "factory_values[" << i << "]";
  }
}

// Every key set by the tool reads back through get, show and the daemon's own loader.
TEST(OrvaneSettings, SetReadsBackThroughGetShowAndTheDaemonsLoader) {
  uint32_t next = 1001;
  for (const settings_key& field : settings_keys) {
    if (field.kind == SETTING_SCRIPT) continue;  // has tests of its own
    SCOPED_TRACE(std::string(field.key));
    settings_root box;
    std::string value = field.kind == SETTING_PARITY ? "O" : std::to_string(next++);
    if (field.kind == SETTING_FLAG || field.number == &modem_settings::serial) value = "1";
    if (field.number == &modem_settings::flowcontrol) value = "4";
    if (field.kind == SETTING_ALLOW) value = "10.0.0.0/8, 192.168.1.7";
    if (field.number == &modem_settings::tls_only) value = "1";
    if (field.text == &modem_settings::device) value = "/dev/ttyUSB0";
    if (field.text == &modem_settings::listen) value = "192.0.2.7";
    // The TLS keys are set with the three files they need (the key's own value comes last).
    std::vector<std::string> args = {"set"};
    if (field.key.starts_with("MOD_ORVANE_TLS_")) {
      if (ORVANED_HAVE_TLS == 0) continue;  // refused: see TlsKeysAreSetTogether
      args.insert(args.end(), {"tls_cert=/c.pem", "tls_key=/k.pem", "tls_ca=/ca.pem"});
    }
    args.push_back(std::string(field.key) + "=" + value);
    program_result set = box.tool(args);
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(box.tool({"get", std::string(field.key)}).out, value + "\n");
    EXPECT_EQ(show_line(box.tool({"show"}), std::string(field.key)),
              std::string(field.key) + "=" + value);
    modem_settings s = box.load();
    if (field.number != nullptr) {
      EXPECT_EQ(std::to_string(s.*field.number), value);
    } else {
      EXPECT_EQ(s.*field.text, value);
    }
  }
}

TEST(OrvaneSettings, SetSeveralKeysByShortNamesAtOnce) {
  settings_root box;
  program_result set = box.tool({"set", "sreg_conn_tout=45", "Parity=e", "PORT=2001"});
  ASSERT_EQ(set.status, 0) << set.err;
  modem_settings s = box.load();
  EXPECT_EQ(s.sreg_conn_tout, 45u);
  EXPECT_EQ(s.parity, "E");  // the daemon only knows the capital letter
  EXPECT_EQ(s.port, 2001u);
  EXPECT_EQ(s.baudrate, 115200u);
}

// The file is rewritten as AT&W writes it: the daemon's format, the old permission bits.
TEST(OrvaneSettings, SetWritesWhatTheDaemonWritesAndKeepsTheMode) {
  settings_root box;
  write_file(box.path(), sample_settings + "SOME_OTHER_KEY=1\n");
  ASSERT_EQ(chmod(box.path().c_str(), 0600), 0);
  ASSERT_EQ(box.tool({"set", "MOD_ORVANE_SREG_AUTO_ANSWER=2"}).status, 0);
  modem_settings s = box.load();
  EXPECT_EQ(s.sreg_auto_answer, 2u);
  EXPECT_EQ(box.content(), settings_format(s));
  struct stat st {};
  ASSERT_EQ(stat(box.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(OrvaneSettings, SetRefusesBadRequestsAndLeavesTheFileAlone) {
  struct row {
    std::vector<std::string> args;
    const char* message;
  };
  const row rows[] = {
      {{"MOD_ORVANE_PORT=abc"}, "MOD_ORVANE_PORT: \"abc\" is not a number"},
      {{"MOD_ORVANE_PORT=-1"}, "is not a number"},
      {{"MOD_ORVANE_PORT=4294967296"}, "is not a number"},
      {{"MOD_ORVANE_PORT="}, "is not a number"},
      {{"MOD_ORVANE_PORT=12abc"}, "is not a number"},
      {{"NO_SUCH_KEY=1"}, "unknown key \"NO_SUCH_KEY\""},
      {{"baudrte=9600"}, "unknown key \"baudrte\"; did you mean MOD_ORVANE_BAUDRATE?"},
      {{"device=ttyUSB0"}, "MOD_ORVANE_DEVICE: \"ttyUSB0\" is not the path of a device"},
      {{"listen=router7"}, "MOD_ORVANE_LISTEN: \"router7\" is not an IPv4 or IPv6 address"},
      {{"MOD_ORVANE_SERIAL=2"}, "invalid serial device number 2 (0 or 1 expected)"},
      {{"MOD_ORVANE_ENABLED=2"}, "MOD_ORVANE_ENABLED: \"2\" is neither 0 nor 1"},
      {{"MOD_ORVANE_PARITY=X"}, "\"X\" is not N, E or O"},
      {{"MOD_ORVANE_PARITY=even"}, "is not N, E or O"},
      {{"port"}, "\"port\" is not KEY=VALUE"},
      {{"MOD_ORVANE_PORT=3000", "bogus=1"}, "unknown key \"bogus\""},
      {{"MOD_ORVANE_CFG_SCRIPT=X:y"},
       "script line 1 (the daemon's line 1): \"X:y\": unknown substitution type"},
      {{"allow=10.0.0.0/8, 10.0.0.256"},
       "MOD_ORVANE_ALLOW: \"10.0.0.256\" is not an IPv4 address or prefix"},
      {{"allow=10.0.0.0/33"}, "MOD_ORVANE_ALLOW: \"10.0.0.0/33\" is not"},
      {{"raw_port=70000"}, "MOD_ORVANE_RAW_PORT: 70000 is not 0 to 65535"},
      {{"telnet_port=2000"}, "MOD_ORVANE_TELNET_PORT: 2000 is MOD_ORVANE_PORT's port as well"},
      {{"raw_port=23", "telnet_port=23"}, "TELNET_PORT: 23 is MOD_ORVANE_RAW_PORT's port as well"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.args.back());
    settings_root box;
    std::vector<std::string> args = {"set"};
    args.insert(args.end(), r.args.begin(), r.args.end());
    program_result set = box.tool(args);
    EXPECT_EQ(set.status, 2);
    EXPECT_THAT(set.err, HasSubstr(r.message));
    EXPECT_THAT(set.err, HasSubstr("nothing changed in " + box.path()));
    EXPECT_EQ(box.content(), sample_settings);
  }
}

// The allow list is stored as given, written only while it is not empty, and shown as text.
TEST(OrvaneSettings, AllowListIsStoredAsGivenAndLeftOutWhenEmpty) {
  settings_root box;
  ASSERT_EQ(box.tool({"set", "allow=10.0.0.0/8, 192.168.1.7"}).status, 0);
  EXPECT_THAT(box.content(), HasSubstr("\nMOD_ORVANE_ALLOW=\"10.0.0.0/8, 192.168.1.7\"\n"));
  EXPECT_EQ(box.tool({"get", "allow"}).out, "10.0.0.0/8, 192.168.1.7\n");
  EXPECT_THAT(box.tool({"show"}).out, HasSubstr("\nMOD_ORVANE_ALLOW=10.0.0.0/8, 192.168.1.7\n"));
  ASSERT_EQ(box.tool({"set", "allow="}).status, 0);
  EXPECT_THAT(box.content(), Not(HasSubstr("MOD_ORVANE_ALLOW")));
  EXPECT_EQ(box.tool({"get", "allow"}).out, "\n");
  program_result checked = box.tool({"check"});
  EXPECT_EQ(checked.status, 0);
  EXPECT_THAT(checked.err, Not(HasSubstr("MOD_ORVANE_ALLOW")));
}

// The TLS keys are checked together: a certificate alone changes nothing, the three files in
// one command are taken, emptied they leave no line behind. What the key holds is never shown.
TEST(OrvaneSettings, TlsKeysAreSetTogether) {
  settings_root box;
  temp_dir dir;
  write_file(dir.file("k.pem"), "secret");
  ASSERT_EQ(chmod(dir.file("k.pem").c_str(), 0600), 0);
  const std::string cert = "tls_cert=" + dir.file("k.pem");
  program_result alone = box.tool({"set", cert});
  EXPECT_EQ(alone.status, 2);
  EXPECT_THAT(alone.err, HasSubstr(ORVANED_HAVE_TLS != 0 ? "MOD_ORVANE_TLS_KEY is not set"
                                                         : "built without encrypted calls"));
  EXPECT_EQ(box.content(), sample_settings);
  if (ORVANED_HAVE_TLS == 0) return;
  std::string key = "tls_key=" + dir.file("k.pem"), ca = "tls_ca=" + dir.file("k.pem");
  ASSERT_EQ(box.tool({"set", cert, key, ca, "tls_port=2001", "tls_only=1"}).status, 0);
  for (const char* command : {"show", "check"}) {
    program_result r = box.tool({command});
    EXPECT_EQ(r.status, command[0] == 's' ? 0 : 1) << r.err;
    EXPECT_THAT(r.out + r.err, Not(HasSubstr("secret")));
  }
  ASSERT_EQ(
      box.tool({"set", "tls_cert=", "tls_key=", "tls_ca=", "tls_port=0", "tls_only=0"}).status, 0);
  EXPECT_EQ(box.content(), settings_format(settings_root().load()));
}

// check reads the certificate files with the daemon's own loader: what stops start-up is an
// error here too.
TEST(OrvaneSettings, CheckReadsTheTlsFilesAsStartUpDoes) {
  if (ORVANED_HAVE_TLS == 0) GTEST_SKIP() << "built without TLS";
  temp_dir certs;
  ASSERT_TRUE(make_tls_certificates(certs.path()));
  for (std::string key : {"r1.key:", "missing.key: cannot be read: No such file or directory",
                          "r1.pem: holds no PEM private key", "r2.key: does not match the"}) {
    std::string path = certs.file(key.substr(0, key.find(':'))), error = key.substr(key.find(':'));
    settings_root box;
    ASSERT_EQ(box.tool({"set", "tls_cert=" + certs.file("r1.pem"), "tls_key=" + path,
                        "tls_ca=" + certs.file("ca.pem")})
                  .status,
              0);
    program_result checked = box.tool({"check"});
    EXPECT_EQ(checked.status, error == ":" ? 0 : 1) << checked.err;
    EXPECT_THAT(checked.err,
                HasSubstr(error == ":" ? "" : "error: MOD_ORVANE_TLS_KEY: " + path + error));
  }
}

TEST(OrvaneSettings, SetWarnsOfValuesTheDaemonTreatsOtherwise) {
  settings_root box;
  program_result set = box.tool({"set", "baudrate=230400"});
  EXPECT_EQ(set.status, 0);
  EXPECT_THAT(set.err, HasSubstr("warning: MOD_ORVANE_BAUDRATE: 230400 bit/s has no CONNECT"));
  EXPECT_EQ(box.load().baudrate, 230400u);
}

TEST(OrvaneSettings, ScriptRoundTripsAsPlainTextAndIsStoredAsBase64) {
  const std::string script = "D0800-1234:192168001001\nI7:Line seven\n";
  settings_root box;
  temp_dir dir;
  write_file(dir.file("script"), script);
  program_result set = box.tool({"script", "set", dir.file("script")});
  ASSERT_EQ(set.status, 0) << set.err;
  EXPECT_EQ(box.tool({"script", "get"}).out, script);
  EXPECT_EQ(box.tool({"get", "MOD_ORVANE_CFG_SCRIPT"}).out, script);
  EXPECT_EQ(box.load().cfg_script, script);
  EXPECT_THAT(box.content(),
              HasSubstr("\nMOD_ORVANE_CFG_SCRIPT=" + base64_encode_alloc(script) + "\n"));
  program_result shown = box.tool({"show"});
  EXPECT_THAT(shown.out, HasSubstr("MOD_ORVANE_CFG_SCRIPT=<script of 2 lines, below>\n"));
  EXPECT_THAT(shown.out, HasSubstr(":\n" + script));

  // From standard input; a last line without its line feed is printed with one.
  ASSERT_EQ(box.tool({"script", "set", "-"}, "I1:one").status, 0);
  EXPECT_EQ(box.load().cfg_script, "I1:one");
  EXPECT_EQ(box.tool({"script", "get"}).out, "I1:one\n");

  // An empty script empties the value.
  ASSERT_EQ(box.tool({"script", "set", "-"}, "").status, 0);
  EXPECT_THAT(box.content(), HasSubstr("\nMOD_ORVANE_CFG_SCRIPT=\n"));
  EXPECT_EQ(box.tool({"script", "get"}).out, "");
}

TEST(OrvaneSettings, ScriptTheDaemonWouldRefuseIsNotStored) {
  struct row {
    std::string script;
    std::vector<std::string> messages;
  };
  const row rows[] = {
      {"I1:first\n\nX:y\n",
       {"orvane-settings: script line 3 (the daemon's line 2): \"X:y\": unknown substitution "
        "type: a rule begins with D (dial) or I (information)"}},
      {"D123\n",
       {"orvane-settings: script line 1 (the daemon's line 1): \"D123\": no \":\" between the "
        "pattern and the replacement"}},
      {"I1:y\nI12:x\n",
       {"(the daemon's line 2): \"I12:x\": an earlier rule of the same type",
        "; duplicit substitution (type: I, pat: 12)"}},
      {"D0800:1921680010\n",
       {"bad dial rule: D, a phone number, \":\" and exactly twelve digits, an [IPv6 address] or "
        "a host name, each with \":\" and a port or without; bad length of substitution phone "
        "number (1921680010)"}},
      {"Dabc:192168001001\n", {"phone number contains a letter A"}},
      {std::string(12001, '\n'), {"the script has 12001 bytes; at most 12000 can be saved"}},
      {std::string("I1:a\0b\n", 7), {"the script holds a zero byte"}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.messages.front());
    settings_root box;
    program_result set = box.tool({"script", "set", "-"}, r.script);
    EXPECT_EQ(set.status, 2);
    for (const std::string& m : r.messages) EXPECT_THAT(set.err, HasSubstr(m));
    EXPECT_THAT(set.err, HasSubstr("script refused; " + box.path() + " left unchanged"));
    EXPECT_EQ(box.content(), sample_settings);
  }
}

TEST(OrvaneSettings, CheckPassesTheSampleAndFailsWhatStopsTheDaemon) {
  struct row {
    const char* key;  // replaced in the sample; nullptr: the sample as it is
    std::string value;
    int status;
    const char* message;  // expected on standard error, nullptr for nothing
  };
  const row rows[] = {
      {nullptr, "", 0, nullptr},
      {"MOD_ORVANE_ALLOW", "\"10.0.0.0/8, 192.168.1.7\"", 0, nullptr},
      {"MOD_ORVANE_ALLOW", "10.0.0.0/8,localhost", 1,
       "error: MOD_ORVANE_ALLOW: \"localhost\" is not an IPv4 address or prefix"},
      {"MOD_ORVANE_ALLOW", "\"2001:db8::/32 ::1\"", 0, nullptr},
      {"MOD_ORVANE_ALLOW", "::1,2001:db8::/129", 1,
       "error: MOD_ORVANE_ALLOW: \"2001:db8::/129\" is not an IPv6 address or prefix"},
      {"MOD_ORVANE_SERIAL", "2", 1,
       "error: MOD_ORVANE_SERIAL: invalid serial device number 2 (0 or 1 expected)"},
      {"MOD_ORVANE_CFG_SCRIPT", base64_encode_alloc("I1:x\n\nD1:2\n"), 1,
       "error: MOD_ORVANE_CFG_SCRIPT: script line 3 (the daemon's line 2): \"D1:2\": bad dial "
       "rule: D, a phone number, \":\" and exactly twelve digits, an [IPv6 address] or a host "
       "name, each with \":\" and a port or without; bad length of substitution phone number "
       "(2)\n"},
      {"MOD_ORVANE_CFG_SCRIPT", base64_encode_alloc("D1:256000000001\n"), 0,
       "warning: MOD_ORVANE_CFG_SCRIPT: script line 1 (the daemon's line 1): "
       "\"D1:256000000001\": ATD refuses dial rule D1:256000000001: a group of three digits "
       "is above 255\n"},
      // The script written as plain text: named as not base64, and what the daemon makes of it
      // shown byte by byte.
      {"MOD_ORVANE_CFG_SCRIPT", "D1:192168001001", 1,
       "MOD_ORVANE_CFG_SCRIPT is not valid base64: the characters outside its alphabet are "
       "skipped\n"},
      {"MOD_ORVANE_CFG_SCRIPT", "D1:192168001001", 1,
       "error: MOD_ORVANE_CFG_SCRIPT: script line 1 (the daemon's line 1): "
       "\"\\x0f]}\\xdb^\\xbc\\xd3Mt\\xd3\": no \":\" between the pattern and the replacement\n"},
      {"MOD_ORVANE_BAUDRATE", "230400", 0,
       "warning: MOD_ORVANE_BAUDRATE: 230400 bit/s has no CONNECT result code"},
      {"MOD_ORVANE_BAUDRATE", "9601", 0,
       "warning: MOD_ORVANE_BAUDRATE: 9601 bit/s is not a speed of the serial port"},
      {"MOD_ORVANE_CFG_SCRIPT", base64_encode_alloc(std::string(12001, '\n')), 0,
       "warning: MOD_ORVANE_CFG_SCRIPT: the script has 12001 bytes; AT&W cannot save more "
       "than 12000"},
      // Keys the sample leaves out are added at its end.
      {"MOD_ORVANE_FLOWCONTROL", "x3", 0,
       "warning: MOD_ORVANE_FLOWCONTROL: \"x3\" is not a number; read as 0\n"},
      {"MOD_ORVANE_BAUDRTE", "9600", 0,
       "warning: MOD_ORVANE_BAUDRTE is not a key; did you mean MOD_ORVANE_BAUDRATE?\n"},
      {"MOD_ORVANE_LISTEN", "::1", 0, nullptr},
      {"MOD_ORVANE_DEVICE", "ttyUSB0", 1, "error: MOD_ORVANE_DEVICE: \"ttyUSB0\" is not the path"},
      {"mod_orvane_port", "2001", 0,
       "warning: MOD_ORVANE_PORT is given twice (lines 8 and 32): the first is used\n"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.key != nullptr ? r.key : "sample");
    settings_root box;
    if (r.key != nullptr) {
      std::string text = sample_settings;
      size_t at = text.find(std::string(r.key) + "=");
      // A key the sample leaves out (an optional one) is added.
      if (at == std::string::npos) {
        at = text.size();
        text += "\n";
      }
      size_t end = text.find('\n', at);
      text.replace(at, end - at, std::string(r.key) + "=" + r.value);
      write_file(box.path(), text);
    }
    program_result checked = box.tool({"check"});
    EXPECT_EQ(checked.status, r.status) << checked.err;
    if (r.message == nullptr) {
      EXPECT_EQ(checked.err, "");
      EXPECT_EQ(checked.out, box.path() + ": 0 errors, 0 warnings\n");
    } else {
      EXPECT_THAT(checked.err, HasSubstr(r.message));
    }
  }
}

// A bad line is one error, however many messages the daemon logs for it; an unknown key
// asked for is one line, not the usage.
TEST(OrvaneSettings, OneBadThingIsOneLine) {
  settings_root box;
  std::string text = sample_settings;
  std::string key = "MOD_ORVANE_CFG_SCRIPT=";
  text.insert(text.find(key) + key.size(), base64_encode_alloc("Dabc:192168001001\n"));
  write_file(box.path(), text);
  program_result checked = box.tool({"check"});
  EXPECT_EQ(checked.status, 1);
  EXPECT_EQ(checked.out, box.path() + ": 1 error, 0 warnings\n");
  EXPECT_EQ(std::count(checked.err.begin(), checked.err.end(), '\n'), 1) << checked.err;

  // A dial rule that ATD would refuse is stored, with a warning.
  program_result set = box.tool({"script", "set", "-"}, "I1:x\n\nD2:000000000000\n");
  EXPECT_EQ(set.status, 0);
  EXPECT_EQ(set.err,
            "orvane-settings: warning: script line 3 (the daemon's line 2): \"D2:000000000000\": "
            "ATD refuses dial rule D2:000000000000: it stands for 0.0.0.0\n");
  EXPECT_EQ(box.load().cfg_script, "I1:x\n\nD2:000000000000\n");

  program_result got = box.tool({"get", "no_such_key"});
  EXPECT_EQ(got.status, 2);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, "orvane-settings: unknown key \"no_such_key\"\n");
}

// A script too long to save whole, put into the file by other means, blocks every change:
// saving would cut it.
TEST(OrvaneSettings, FileWithAnOverlongScriptIsNotRewritten) {
  settings_root box;
  std::string text = sample_settings;
  std::string key = "MOD_ORVANE_CFG_SCRIPT=";
  text.insert(text.find(key) + key.size(), base64_encode_alloc(std::string(12001, '\n')));
  write_file(box.path(), text);
  program_result set = box.tool({"set", "port=2001"});
  EXPECT_EQ(set.status, 2);
  EXPECT_THAT(set.err, HasSubstr("the script has 12001 bytes; at most 12000 can be saved"));
  EXPECT_EQ(box.content(), text);
}

// Rewriting keeps the first of two disagreeing allow lines: only a command that sets the list
// may do it.
TEST(OrvaneSettings, DisagreeingAllowLinesAreRewrittenOnlyWithANewList) {
  settings_root box;
  std::string text = sample_settings + "MOD_ORVANE_ALLOW=\nMOD_ORVANE_ALLOW=10.0.0.0/8\n";
  write_file(box.path(), text);
  program_result set = box.tool({"set", "port=2001"});
  EXPECT_EQ(set.status, 2);
  EXPECT_THAT(set.err, HasSubstr("MOD_ORVANE_ALLOW is given twice with different values (lines "
                                 "32 and 33)\norvane-settings: nothing changed in "));
  EXPECT_EQ(box.content(), text);
  ASSERT_EQ(box.tool({"set", "allow=10.0.0.0/8"}).status, 0);
  EXPECT_EQ(box.load().allow, "10.0.0.0/8");
}

TEST(OrvaneSettings, CheckNamesMissingKeysAndAMissingFile) {
  settings_root box;
  write_file(box.path(), "MOD_ORVANE_SERIAL=0\nMOD_ORVANE_BAUDRATE=9600\n");
  program_result checked = box.tool({"check"});
  EXPECT_EQ(checked.status, 0);
  EXPECT_THAT(checked.err, HasSubstr("warning: MOD_ORVANE_PORT: missing"));
  EXPECT_THAT(checked.err, Not(HasSubstr("MOD_ORVANE_SERIAL: missing")));

  ASSERT_EQ(unlink(box.path().c_str()), 0);
  for (const char* command : {"check", "show"}) {
    program_result failed = box.tool({command});
    EXPECT_EQ(failed.status, 1) << command;
    EXPECT_THAT(failed.err, HasSubstr("cannot read " + box.path() + ": No such file"));
  }
  // Nothing is created from nothing: a set on a missing file would write a file of zeros.
  EXPECT_EQ(box.tool({"set", "port=1"}).status, 1);
  EXPECT_FALSE(path_exists(box.path()));

  // A FIFO in its place is refused without being opened (a read would wait for a writer).
  ASSERT_EQ(mkfifo(box.path().c_str(), 0600), 0);
  for (const char* command : {"check", "show"}) {
    program_result failed = box.tool({command});
    EXPECT_EQ(failed.status, 1) << command;
    EXPECT_THAT(failed.err, HasSubstr("cannot read " + box.path() + ": not a regular file"));
  }
}

TEST(OrvaneSettings, RootFromTheEnvironmentAndFileFromTheOption) {
  settings_root a;
  settings_root b;
  ASSERT_EQ(a.tool({"set", "port=3001"}).status, 0);
  EXPECT_EQ(a.load().port, 3001u);
  EXPECT_EQ(b.load().port, 2000u);

  // -f names the file whatever ORVANED_ROOT says.
  ASSERT_EQ(a.tool({"-f", b.path(), "set", "port=3002"}).status, 0);
  EXPECT_EQ(a.load().port, 3001u);
  EXPECT_EQ(b.load().port, 3002u);
  EXPECT_EQ(run_program({SETTINGS_TOOL, "-f", b.path(), "get", "port"}, {"ORVANED_ROOT"}).out,
            "3002\n");
}

TEST(OrvaneSettings, UsageErrorsExitWithTwo) {
  settings_root box;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"frobnicate"},
                                             {"get"},
                                             {"get", "a", "b"},
                                             {"set"},
                                             {"script"},
                                             {"script", "set"},
                                             {"-x", "show"},
                                             {"-f"}}) {
    program_result r = box.tool(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_THAT(r.err, HasSubstr("usage: orvane-settings")) << testing::PrintToString(args);
  }
  program_result unknown = box.tool({"get", "nokey"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_THAT(unknown.err, HasSubstr("unknown key \"nokey\""));
  program_result help = box.tool({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_THAT(help.out, HasSubstr("usage: orvane-settings"));
  program_result version = box.tool({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ("orvaned" + version.out.substr(std::string("orvane-settings").size()),
            ORVANED_VERSION "\n");
}

}  // namespace
