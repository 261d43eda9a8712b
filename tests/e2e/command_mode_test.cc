// Command mode through the built daemon: what the DTE types on the pty and the exact bytes it
// gets back, and the settings file that AT&W writes.
#include <signal.h>

#include <sstream>
#include <string>
#include <vector>

#include "e2e/daemon_harness.h"

namespace {

constexpr double kReplySeconds = 5;

struct exchange {
  const char* typed;
  std::string expected;  // everything the DTE receives, echo included
};

// Sends each line and compares what comes back, byte for byte; stops at the first mismatch, since
// later replies would be misaligned.
void run_exchanges(daemon_process& d, const std::vector<exchange>& script) {
  for (const exchange& step : script) {
    SCOPED_TRACE(testing::Message() << "typed " << testing::PrintToString(std::string(step.typed)));
    ASSERT_TRUE(d.serial_write(step.typed));
    std::string got = d.serial_read_until(step.expected, seconds_from_now(kReplySeconds));
    ASSERT_EQ(got, step.expected) << d.log_text();
  }
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

bool has_line(const std::vector<std::string>& lines, const std::string& wanted) {
  for (const auto& line : lines) {
    if (line == wanted) return true;
  }
  return false;
}

class CommandMode : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(box_.ok());
    ASSERT_TRUE(daemon_.start());
    ASSERT_TRUE(daemon_.wait_running(seconds_from_now(15)));
  }
  void TearDown() override {
    if (daemon_.alive()) {
      daemon_.send_signal(SIGTERM);
      EXPECT_EQ(daemon_.wait_exit(seconds_from_now(15)), 0);
    }
  }

  sandbox box_;
  daemon_process daemon_{box_};
};

TEST_F(CommandMode, RepliesEchoAndResultsByteForByte) {
  run_exchanges(daemon_,
                {
                    {"AT\r", "AT\r\nOK\r\n"},
                    {"ATS7?\r", "ATS7?\r\n30\r\nOK\r\n"},
                    {"ATS7=60S7?\r", "ATS7=60S7?\r\n60\r\nOK\r\n"},
                    {"ATX\r", "ATX\r\nERROR\r\n"},
                    {"ATI\r", "ATI\r\nERROR\r\n"},
                    {"at e1\r", "at e1\r\nOK\r\n"},
                    {"\r", "\r\n"},
                    {"ATI3\r", "ATI3\r\norvane-module 1.4.2\r\nOK\r\n"},
                    {"ATI2\r", "ATI2\r\nrouter firmware 7.1\r\nbuild 2024-05-01\r\nOK\r\n"},
                    {"AT&V\r",
                     "AT&V\r\n"
                     "E   Q   V   &D\r\n"
                     "1   0   1   2   \r\n\r\n"
                     "S0  S1  S2  S3  S4  S5  S6  S7  S10 S11 S12 S25 \r\n"
                     "0   0   43  13  10  8   2   60  0   100 50  0   \r\n"
                     "OK\r\n"},
                    // A repeat of the last line without S3.
                    {"A/",
                     "A/\r\n"
                     "E   Q   V   &D\r\n"
                     "1   0   1   2   \r\n\r\n"
                     "S0  S1  S2  S3  S4  S5  S6  S7  S10 S11 S12 S25 \r\n"
                     "0   0   43  13  10  8   2   60  0   100 50  0   \r\n"
                     "OK\r\n"},
                });
  EXPECT_EQ(daemon_.serial_read_for(std::chrono::milliseconds(300)), "");
}

TEST_F(CommandMode, LineEditingWithBackspaceAndCursorKeys) {
  run_exchanges(daemon_,
                {
                    // Backspace at the end: S5, blank, S5.
                    {"ATX\bS7?\r", "ATX\b \bS7?\r\n30\r\nOK\r\n"},
                    // Left arrow, then an insertion: the tail is redrawn and the
                    // cursor put back with one S5.
                    {"ATS?\x1b[D7\r", "ATS?\x1b[D7?\b\r\n30\r\nOK\r\n"},
                    // Backspace inside the line after two left arrows.
                    {"ATS77?\x1b[D\x1b[D\b\r", "ATS77?\x1b[D\x1b[D\b \b7? \b\b\b\r\n30\r\nOK\r\n"},
                });
}

TEST_F(CommandMode, ModeChangesAndStoreAndReload) {
  run_exchanges(daemon_, {
                             {"ATS7=45&W\r", "ATS7=45&W\r\nOK\r\n"},
                         });
  std::vector<std::string> saved = lines_of(read_file(box_.settings_path()));
  EXPECT_TRUE(has_line(saved, "MOD_ORVANE_SREG_CONN_TOUT=45")) << read_file(box_.settings_path());
  EXPECT_TRUE(has_line(saved, "MOD_ORVANE_PORT=" + std::to_string(box_.port())));
  EXPECT_TRUE(has_line(saved, "MOD_ORVANE_STAT_ECHO=1"));
  EXPECT_EQ(saved.size(), 30u);

  run_exchanges(daemon_, {
                             // Echo goes off after the echo of its own line.
                             {"ATE0\r", "ATE0\r\nOK\r\n"},
                             {"ATS7=9\r", "OK\r\n"},
                             {"ATV0\r", "0\r"},
                             {"ATX\r", "4\r"},
                             // ATZ reloads the stored E1, V1 and S7=45; its OK is verbose.
                             {"ATZ\r", "OK\r\n"},
                             {"ATS7?\r", "ATS7?\r\n45\r\nOK\r\n"},
                             {"ATQ1\r", "ATQ1\r\n"},
                             {"ATX\r", "ATX\r\n"},
                             {"ATS0?\r", "ATS0?\r\n0\r\n"},
                             {"ATQ0\r", "ATQ0\r\nOK\r\n"},
                         });
  EXPECT_EQ(daemon_.serial_read_for(std::chrono::milliseconds(300)), "");
}

}  // namespace
