#include "at/interpreter.h"

#include <algorithm>
#include <cstring>

#include "at_fixture.h"

namespace {

using Interpreter = at_fixture;

TEST_F(Interpreter, FinalResults) {
  struct row {
    const char* line;
    std::string reply;
  };
  const row rows[] = {
      {"AT", "OK\r\n"},
      {"at e0", "OK\r\n"},
      {"A T S 7 = 6 0", "OK\r\n"},
      {"ATE1V1Q0&D1", "OK\r\n"},
      // No command name matches.
      {"ATX", "ERROR\r\n"},
      {"AT&F", "ERROR\r\n"},
      {"AT5", "ERROR\r\n"},
      {"ATE0&", "ERROR\r\n"},
      {"AT&", "ERROR\r\n"},
      // The prefix must be there.
      {"A", "ERROR\r\n"},
      {"TA", "ERROR\r\n"},
      {"XAT", "ERROR\r\n"},
      // A command that owns its result: no OK, call control answers later.
      {"ATH0E1", ""},
      {"ATA", ""},
      {"ATO", ""},
      // V changes before the final result is sent.
      {"ATV0", "0\r"},
      {"ATQ1", ""},
  };
  for (const row& r : rows) {
    make_state();
    EXPECT_EQ(run(r.line), r.reply) << r.line;
  }
}

TEST_F(Interpreter, RejectedLineExecutesNothing) {
  EXPECT_EQ(run("ATQ1E2"), "ERROR\r\n");
  EXPECT_EQ(ms->settings.stat_quiet, 0u);
  EXPECT_EQ(run("ATE0S7=1H0X"), "ERROR\r\n");
  EXPECT_EQ(ms->settings.stat_echo, 1u);
  EXPECT_EQ(ms->settings.sreg_conn_tout, 30u);
  EXPECT_EQ(ms->pending_action, ACTION_NONE);
  // Everything after D is the number, so the E0 makes the dial invalid.
  EXPECT_EQ(run("ATE0DT123456789012E0"), "ERROR\r\n");
  EXPECT_EQ(ms->settings.stat_echo, 1u);
  EXPECT_TRUE(net_address_empty(ms->peer_addr));
}

TEST_F(Interpreter, LaterCommandsSeeEarlierChanges) {
  EXPECT_EQ(run("ATV0S3=42"), "0*");
  // '*' now ends lines; the echo of a line end is the received byte and S4.
  EXPECT_EQ(type("ATS3=13S4=35V1*"), "ATS3=13S4=35V1*\nOK\r#");
  ms->settings.stat_quiet = 1;
  EXPECT_EQ(type("ATQ0\r"), "ATQ0\r#OK\r#");
}

TEST_F(Interpreter, MissingParameterIsLogged) {
  struct row {
    const char* line;
    const char* message;
  };
  const row rows[] = {
      {"ATI", "command (I) requires parameter"},
      {"ATS", "command (S) requires parameter"},
      {"AT&D", "command (&D) requires parameter"},
      {"ATE0D", "command (D) requires parameter"},
  };
  for (const row& r : rows) {
    make_state();
    EXPECT_EQ(run(r.line), "ERROR\r\n") << r.line;
    EXPECT_TRUE(log.has(7, r.message)) << r.line;
    EXPECT_EQ(ms->settings.stat_echo, 1u) << r.line;
  }
}

TEST_F(Interpreter, QuietSendsNoResultsButReplies) {
  ms->settings.stat_quiet = 1;
  EXPECT_EQ(run("ATX"), "");
  EXPECT_EQ(run("XYZ"), "");
  EXPECT_EQ(run("AT"), "");
  EXPECT_EQ(run("ATS7?"), "30\r\n");
  EXPECT_EQ(run("ATQ0"), "OK\r\n");
}

TEST_F(Interpreter, SpoofOkAnswersRejectedLinesWithOk) {
  ms->settings.spoof_ok = 1;
  EXPECT_EQ(run("ATX"), "OK\r\n");
  EXPECT_EQ(run("ATE2"), "OK\r\n");
  EXPECT_EQ(ms->settings.stat_echo, 1u);
  ms->settings.stat_verbosity = 0;
  EXPECT_EQ(type("A/"), "A/\r\n0\r");
}

TEST_F(Interpreter, TracesRawAndResponse) {
  run("at  s7?");
  EXPECT_TRUE(log.has(8, "raw atc: \"at  s7?\""));
  EXPECT_TRUE(log.has(8, "response: \"OK\""));
  ms->settings.sysloglev = 7;
  log.clear();
  run("AT");
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Interpreter, RepeatCommand) {
  // Nothing stored yet.
  EXPECT_EQ(type("A/"), "A/\r\nERROR\r\n");
  EXPECT_FALSE(log.has(8, "reused atc: \"\""));
  EXPECT_EQ(run("at s7 ?"), "30\r\nOK\r\n");
  EXPECT_STREQ(ms->last_cmd.data(), "ATS7?");
  log.clear();
  EXPECT_EQ(type("a /"), "a /\r\n30\r\nOK\r\n");
  EXPECT_TRUE(log.has(8, "reused atc: \"ATS7?\""));
  // Lines without the prefix and lines with '/' do not replace the stored one.
  EXPECT_EQ(run("S7?"), "ERROR\r\n");
  EXPECT_EQ(type("ATS0?/"), "ATS0?/\r\nERROR\r\n");
  EXPECT_EQ(type("A/"), "A/\r\n30\r\nOK\r\n");
  // A rejected line that begins with AT is stored, so it is rejected again.
  EXPECT_EQ(run("ATE5"), "ERROR\r\n");
  EXPECT_STREQ(ms->last_cmd.data(), "ATE5");
  EXPECT_EQ(type("A/"), "A/\r\nERROR\r\n");
  // Repeating a state change repeats it.
  EXPECT_EQ(run("ATS7=7E0"), "OK\r\n");
  ms->settings.sreg_conn_tout = 1;
  ms->settings.stat_echo = 1;
  EXPECT_EQ(type("A/"), "A/\r\nOK\r\n");
  EXPECT_EQ(ms->settings.sreg_conn_tout, 7u);
  EXPECT_EQ(ms->settings.stat_echo, 0u);
}

TEST_F(Interpreter, OnlyTheExactRepeatLineRepeats) {
  EXPECT_EQ(run("ATS0?"), "0\r\nOK\r\n");
  for (const char* line : {"AA/", "A//", "AT/", "/"}) {
    ms->cmd_line = {};
    std::copy_n(line, strlen(line), ms->cmd_line.begin());
    ms->cmd_len = static_cast<int>(strlen(line));
    process_command_line(*ms);
    EXPECT_EQ(drain(), "ERROR\r\n") << line;
  }
}

TEST_F(Interpreter, SecondPassFailureKeepsCommandsToItsLeft) {
  ms->paths.settings = dir.file("no-such-dir/settings");
  EXPECT_EQ(run("ATS7=9&WE0"), "ERROR\r\n");
  EXPECT_EQ(ms->settings.sreg_conn_tout, 9u);
  EXPECT_EQ(ms->settings.stat_echo, 1u);
}

}  // namespace
