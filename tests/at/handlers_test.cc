#include "at/handlers.h"

#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "at/interpreter.h"
#include "at_fixture.h"
#include "config/allow_list.h"
#include "config/settings.h"

namespace {

using ModeCommands = at_fixture;

using settings_field = uint32_t modem_settings::*;

TEST_F(ModeCommands, FlagsAndDtrAction) {
  struct row {
    const char* line;
    std::string reply;
    settings_field field;
    uint32_t value;
  };
  // Start values: E1 Q0 V1 &D2.
  const row rows[] = {
      {"ATE", "OK\r\n", &modem_settings::stat_echo, 0},
      {"ATE0", "OK\r\n", &modem_settings::stat_echo, 0},
      {"ATE1", "OK\r\n", &modem_settings::stat_echo, 1},
      {"ATE2", "ERROR\r\n", &modem_settings::stat_echo, 1},
      {"ATE9", "ERROR\r\n", &modem_settings::stat_echo, 1},
      {"ATEV1", "OK\r\n", &modem_settings::stat_echo, 0},
      {"ATQ", "OK\r\n", &modem_settings::stat_quiet, 0},
      {"ATQ1", "", &modem_settings::stat_quiet, 1},
      {"ATQ3", "ERROR\r\n", &modem_settings::stat_quiet, 0},
      {"ATV", "0\r", &modem_settings::stat_verbosity, 0},
      {"ATV1", "OK\r\n", &modem_settings::stat_verbosity, 1},
      {"ATV2", "ERROR\r\n", &modem_settings::stat_verbosity, 1},
      {"AT&D0", "OK\r\n", &modem_settings::stat_dtr_action, 0},
      {"AT&D3", "OK\r\n", &modem_settings::stat_dtr_action, 3},
      {"AT&D4", "ERROR\r\n", &modem_settings::stat_dtr_action, 2},
      {"AT&D5", "ERROR\r\n", &modem_settings::stat_dtr_action, 2},
      {"AT&DX", "OK\r\n", &modem_settings::stat_dtr_action, 0},
      {"AT&D+V0", "0\r", &modem_settings::stat_dtr_action, 0},
      {"AT&D1E", "OK\r\n", &modem_settings::stat_echo, 0},
      {"AT&D11", "ERROR\r\n", &modem_settings::stat_dtr_action, 2},
  };
  for (const row& r : rows) {
    make_state();
    EXPECT_EQ(run(r.line), r.reply) << r.line;
    EXPECT_EQ(ms->settings.*r.field, r.value) << r.line;
  }
}

TEST_F(ModeCommands, CallActionsAreOnlyRequested) {
  struct row {
    const char* line;
    std::string reply;
    pending_action action;
  };
  const row rows[] = {
      {"ATA", "", ACTION_ANSWER},          {"ATA0", "ERROR\r\n", ACTION_NONE},
      {"ATH", "", ACTION_HANGUP},          {"ATH0", "", ACTION_HANGUP},
      {"ATH1", "ERROR\r\n", ACTION_NONE},  {"ATO", "", ACTION_ONLINE},
      {"ATO0", "", ACTION_ONLINE},         {"ATO1", "ERROR\r\n", ACTION_NONE},
      {"ATHO", "", ACTION_ONLINE},         {"ATOH0", "", ACTION_HANGUP},
      {"ATZ", "OK\r\n", ACTION_RESET},     {"ATZ5", "OK\r\n", ACTION_RESET},
      {"ATZ55", "ERROR\r\n", ACTION_NONE}, {"ATHZ", "", ACTION_RESET},
  };
  for (const row& r : rows) {
    make_state();
    // ATZ reloads this file: keep the fixture's result form.
    ASSERT_EQ(settings_save(ms->settings, ms->paths.settings.c_str()), 1);
    EXPECT_EQ(run(r.line), r.reply) << r.line;
    EXPECT_EQ(ms->pending_action, r.action) << r.line;
    EXPECT_EQ(ms->call_state, CALL_IDLE) << r.line;
  }
}

TEST_F(ModeCommands, ResetReloadsTheSettingsFile) {
  modem_settings stored = ms->settings;
  stored.stat_echo = 0;
  stored.stat_verbosity = 0;
  stored.sreg_split = 2000;
  stored.sreg_conn_tout = 77;
  ASSERT_EQ(settings_save(stored, ms->paths.settings.c_str()), 1);
  // The E1 before Z is overwritten by the file; the OK comes in the file's (numeric) form.
  EXPECT_EQ(run("ATE1S7=5Z"), "0\r");
  EXPECT_EQ(ms->settings.stat_echo, 0u);
  EXPECT_EQ(ms->settings.sreg_conn_tout, 77u);
  EXPECT_EQ(ms->split_timeout_usec, 2000000);
  EXPECT_EQ(ms->pending_action, ACTION_RESET);
  // Commands after Z act on the reloaded values.
  EXPECT_EQ(run("ATZV1S7=6"), "OK\r\n");
  EXPECT_EQ(ms->settings.sreg_conn_tout, 6u);
}

TEST_F(ModeCommands, StoreWritesTheSettingsFile) {
  EXPECT_EQ(run("ATS7=45E0&D1&W"), "OK\r\n");
  modem_settings loaded;
  settings_load(loaded, ms->paths.settings.c_str());
  EXPECT_EQ(loaded.sreg_conn_tout, 45u);
  EXPECT_EQ(loaded.stat_echo, 0u);
  EXPECT_EQ(loaded.stat_dtr_action, 1u);
  EXPECT_EQ(loaded.sreg_cr, 13u);
  // What was stored comes back with ATZ.
  EXPECT_EQ(run("ATS7=1E1&D3"), "OK\r\n");
  EXPECT_EQ(run("ATZ"), "OK\r\n");
  EXPECT_EQ(ms->settings.sreg_conn_tout, 45u);
  EXPECT_EQ(ms->settings.stat_echo, 0u);
  EXPECT_EQ(ms->settings.stat_dtr_action, 1u);
}

TEST_F(ModeCommands, StoreThatCannotWriteIsAnError) {
  ms->paths.settings = dir.file("no-such-dir/settings");
  EXPECT_EQ(run("AT&W"), "ERROR\r\n");
  EXPECT_FALSE(path_exists(ms->paths.settings));
  ms->settings.spoof_ok = 1;
  EXPECT_EQ(run("AT&W"), "OK\r\n");
  ms->settings.spoof_ok = 0;
  ms->settings.stat_quiet = 1;
  EXPECT_EQ(run("AT&W"), "");
  // The check pass accepts &W, so a line that fails only there runs what stands before it.
  ms->settings.stat_quiet = 0;
  EXPECT_EQ(run("ATE0&W"), "ERROR\r\n");
  EXPECT_EQ(ms->settings.stat_echo, 0u);
}

// A file that start-up would refuse is not taken in part: ATZ answers ERROR, logs the reason
// and leaves the settings and the live allow list as they were.
TEST_F(ModeCommands, ResetRefusingTheFileChangesNothing) {
  modem_settings stored = ms->settings;
  stored.sreg_conn_tout = 77;
  stored.allow = "10.0.0.0/8";
  const std::string file = settings_format(stored);
  const std::string cut = "10.0.0.0/8," + std::string(16400, ' ') + "126.0.0.0/16";
  struct row {
    std::string content;
    std::string logged;
  };
  const row rows[] = {
      {file + "MOD_ORVANE_FLOWCONTROL=5\n", "invalid flow control 5 (0, 3 or 4 expected)"},
      {"MOD_ORVANE_SERIAL=2\n" + file, "invalid serial device number 2 (0 or 1 expected)"},
      {file + "MOD_ORVANE_ALLOW=192.168.0.0/16\n",
       "MOD_ORVANE_ALLOW is given twice with different values (lines 31 and 32)"},
      {"MOD_ORVANE_ALLOW=" + cut + "\n" + file,
       "settings file " + ms->paths.settings +
           ": the line of MOD_ORVANE_ALLOW is longer than 16383 characters: a cut value is not "
           "used"},
  };
  std::vector<row> cases(std::begin(rows), std::end(rows));
  // Certificate files are read again by ATZ: a key of another certificate refuses them all.
  temp_dir certs;
  if (tls_built_in() && make_tls_certificates(certs.path())) {
    row tls{file, "MOD_ORVANE_TLS_KEY: "};
    for (const char* line : {"CERT=r1.pem", "KEY=r2.key", "CA=ca.pem"}) {
      const char* name = strchr(line, '=') + 1;
      tls.content.append("MOD_ORVANE_TLS_")
          .append(line, name)
          .append(certs.file(name))
          .append("\n");
    }
    tls.logged.append(certs.file("r2.key")).append(": does not match the certificate");
    cases.push_back(tls);
  }
  for (const row& r : cases) {
    SCOPED_TRACE(r.logged);
    make_state();
    write_file(ms->paths.settings, r.content);
    std::string bad;
    ASSERT_TRUE(allow_list_parse("192.0.2.1", ms->allowed, bad));
    log.clear();
    EXPECT_EQ(run("ATZ"), "ERROR\r\n");
    EXPECT_TRUE(log.has(3, r.logged));
    EXPECT_EQ(ms->settings.sreg_conn_tout, 30u);
    EXPECT_EQ(ms->settings.allow, "");
    ASSERT_EQ(ms->allowed.entries.size(), 1u);
    EXPECT_EQ(ms->allowed.entries[0].addr, net_ipv4(0xc0000201u));
    EXPECT_EQ(ms->pending_action, ACTION_NONE);
    EXPECT_TRUE(ms->settings.tls_cert.empty());
    EXPECT_FALSE(tls_context_loaded(ms->tls));
  }
}

// A settings file replaced by a link in a directory that others may write is not followed.
TEST_F(ModeCommands, StoreRefusesAPlantedLink) {
  std::string open_dir = dir.file("open");
  ASSERT_EQ(mkdir(open_dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open_dir.c_str(), 0777), 0);
  std::string target = dir.file("root-only");
  write_file(target, "secret\n");
  ms->paths.settings = open_dir + "/settings";
  ASSERT_EQ(symlink(target.c_str(), ms->paths.settings.c_str()), 0);
  EXPECT_EQ(run("AT&W"), "ERROR\r\n");
  EXPECT_EQ(read_file(target), "secret\n");
  EXPECT_TRUE(log.has(3, "not following link " + ms->paths.settings + ": directory " + open_dir +
                             " is writable by group or others"));
}

// The serial line on a pty, so that the port's flags can be read back.
class FlowControl : public at_fixture {
 protected:
  void SetUp() override {
    at_fixture::SetUp();
    master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master.valid());
    ASSERT_EQ(grantpt(master.get()), 0);
    ASSERT_EQ(unlockpt(master.get()), 0);
    ms->serial_fd.reset(open(ptsname(master.get()), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(ms->serial_fd.valid());
    termios tio{};
    ASSERT_EQ(tcgetattr(ms->serial_fd.get(), &tio), 0);
    cfmakeraw(&tio);
    ASSERT_EQ(tcsetattr(ms->serial_fd.get(), TCSANOW, &tio), 0);
    ASSERT_EQ(fcntl(master.get(), F_SETFL, O_NONBLOCK), 0);
    ms->settings.stat_echo = 0;
  }

  // Runs a line on the pty and returns the reply.
  std::string line(const std::string& text) {
    std::string in = text + "\r";
    for (char c : in) editor_input(*ms, static_cast<unsigned char>(c));
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = read(master.get(), buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }

  // The port's flow control as its flags show it: 0, 3 or 4 (-1 for a mix).
  int port_flow() {
    termios tio{};
    if (tcgetattr(ms->serial_fd.get(), &tio) != 0) return -1;
    bool rts_cts = (tio.c_cflag & CRTSCTS) != 0;
    bool xon_xoff = (tio.c_iflag & (IXON | IXOFF)) == (IXON | IXOFF);
    if ((tio.c_iflag & (IXON | IXOFF)) != 0 && !xon_xoff) return -1;
    if (rts_cts && xon_xoff) return -1;
    return rts_cts ? 3 : xon_xoff ? 4 : 0;
  }

  unique_fd master;
};

TEST_F(FlowControl, AndKChangesThePortAtOnce) {
  struct row {
    const char* line;
    std::string reply;
    uint32_t value;  // the setting and the port's mode afterwards
  };
  const row rows[] = {
      {"AT&K3", "OK\r\n", 3},     {"AT&K4", "OK\r\n", 4},    {"AT&K0", "OK\r\n", 0},
      {"AT&K4", "OK\r\n", 4},     {"AT&K1", "ERROR\r\n", 4}, {"AT&K2", "ERROR\r\n", 4},
      {"AT&K5", "ERROR\r\n", 4},  {"AT&K", "ERROR\r\n", 4},  {"AT&KX", "ERROR\r\n", 4},
      {"AT&K34", "ERROR\r\n", 4}, {"AT&K3V1", "OK\r\n", 3},  {"AT&K0&K9", "ERROR\r\n", 3},
  };
  for (const row& r : rows) {
    EXPECT_EQ(line(r.line), r.reply) << r.line;
    EXPECT_EQ(ms->settings.flowcontrol, r.value) << r.line;
    EXPECT_EQ(port_flow(), static_cast<int>(r.value)) << r.line;
  }
  for (const auto& entry : log.lines()) EXPECT_GT(entry.first, 3) << entry.second;
}

TEST_F(FlowControl, SavedOnlyWhenUsedAndReloadedByReset) {
  // Not used: the file holds the same lines as a daemon without flow control writes.
  EXPECT_EQ(line("AT&W"), "OK\r\n");
  std::string saved = read_file(ms->paths.settings);
  EXPECT_EQ(saved.find("FLOWCONTROL"), std::string::npos);
  EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 30);
  EXPECT_EQ(line("AT&K4&W"), "OK\r\n");
  saved = read_file(ms->paths.settings);
  EXPECT_NE(saved.find("\nMOD_ORVANE_STOPBITS=\nMOD_ORVANE_FLOWCONTROL=4\nMOD_ORVANE_SPLIT=0\n"),
            std::string::npos)
      << saved;
  // ATZ brings back what was saved and applies it to the port.
  EXPECT_EQ(line("AT&K3"), "OK\r\n");
  EXPECT_EQ(line("ATZ"), "OK\r\n");
  EXPECT_EQ(ms->settings.flowcontrol, 4u);
  EXPECT_EQ(port_flow(), 4);
  // A file whose value the port cannot take is not taken at all: ERROR, logged, nothing changes.
  std::string bad = saved;
  bad.replace(bad.find("FLOWCONTROL=4"), 13, "FLOWCONTROL=5");
  bad.replace(bad.find("MOD_ORVANE_SREG_CONN_TOUT=30"), 28, "MOD_ORVANE_SREG_CONN_TOUT=77");
  write_file(ms->paths.settings, bad);
  log.clear();
  EXPECT_EQ(line("ATS7=9Z"), "ERROR\r\n");
  EXPECT_EQ(ms->settings.flowcontrol, 4u);
  EXPECT_EQ(ms->settings.sreg_conn_tout, 30u);  // the line is refused whole, S7=9 included
  EXPECT_EQ(port_flow(), 4);
  EXPECT_TRUE(log.has(3, "invalid flow control 5 (0, 3 or 4 expected)"));
  // A file without the line turns it off.
  bad.erase(bad.find("MOD_ORVANE_FLOWCONTROL=5\n"), 25);
  write_file(ms->paths.settings, bad);
  EXPECT_EQ(line("ATZ"), "OK\r\n");
  EXPECT_EQ(ms->settings.flowcontrol, 0u);
  EXPECT_EQ(ms->settings.sreg_conn_tout, 77u);
  EXPECT_EQ(port_flow(), 0);
}

TEST_F(ModeCommands, HandlersChangeNothingWhenOnlyChecking) {
  struct row {
    at_handler handler;
    const char* text;
    int count;
  };
  const row rows[] = {
      {cmd_answer, "", 0},       {cmd_echo, "0", 1},       {cmd_echo, "", 0},
      {cmd_echo, "7", -1},       {cmd_hangup, "0E", 1},    {cmd_hangup, "1", -1},
      {cmd_online, "", 0},       {cmd_quiet, "1", 1},      {cmd_verbose, "V", 0},
      {cmd_reset, "3X", 1},      {cmd_dtr_action, "3", 1}, {cmd_dtr_action, "Q", 1},
      {cmd_dtr_action, "6", -1}, {cmd_store, "", 0},
  };
  ms->paths.settings = dir.file("settings");
  const std::string before = settings_format(ms->settings);
  for (const row& r : rows) {
    std::string text = r.text;
    EXPECT_EQ(r.handler(*ms, text.data(), true), r.count) << r.text;
    EXPECT_EQ(settings_format(ms->settings), before) << r.text;
    EXPECT_EQ(ms->pending_action, ACTION_NONE) << r.text;
    EXPECT_EQ(text, r.text);
  }
  EXPECT_FALSE(path_exists(ms->paths.settings));
  EXPECT_EQ(drain(), "");
}

}  // namespace
