// The init strings of common modem software and devices, and the queries of equipment built
// for cellular modems, through the built daemon: with MOD_ORVANE_COMPAT=1 each is answered as a
// modem would and its settings apply; reloaded without the key, each answers ERROR again.
#include <gmock/gmock.h>
#include <signal.h>

#include <string>

#include "e2e/daemon_harness.h"

namespace {

struct init_row {
  const char* line;
  const char* query;  // typed after the line, showing its settings ("": none)
  std::string reply;  // to both, echo included
};

void exchange(daemon_process& d, const std::string& typed, const std::string& expected) {
  ASSERT_TRUE(d.serial_write(typed));
  EXPECT_EQ(d.serial_read_until(expected, seconds_from_now(5)), expected) << typed << d.log_text();
}

TEST(Compat, InitStringsAndCellularQueriesThenErrorWithoutCompat) {
  const init_row rows[] = {
      {"AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0", "ATS7?",
       "AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0\r\nOK\r\nATS7?\r\n45\r\nOK\r\n"},
      {"ATS0=0V1Q0&D3&C1", "AT&V",
       "ATS0=0V1Q0&D3&C1\r\nOK\r\nAT&V\r\nE   Q   V   &D  &C\r\n1   0   1   3   1   \r\n\r\n"
       "S0  S1  S2  S3  S4  S5  S6  S7  S10 S11 S12 S25 \r\n"
       "0   0   43  13  10  8   2   45  0   100 50  0   \r\nOK\r\n"},
      {"ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0", "ATS0?+FCLASS?",
       "ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0\r\nOK\r\nATS0?+FCLASS?\r\n0\r\n\r\n0\r\nOK\r\n"},
      // E0 from after its own line's echo on; S7 back to 30, and E1 with the next &F.
      {"AT&FE0V1&C1&D2S0=0", "ATS7?", "AT&FE0V1&C1&D2S0=0\r\nOK\r\n30\r\nOK\r\n"},
      {"AT&F", "ATS7?", "OK\r\nATS7?\r\n30\r\nOK\r\n"},
      {"AT+CPIN?", "AT+CREG?",
       "AT+CPIN?\r\n\r\n+CPIN: READY\r\nOK\r\nAT+CREG?\r\n\r\n+CREG: 0,1\r\nOK\r\n"},
      {"AT+CSQ", "", "AT+CSQ\r\n\r\n+CSQ: 20,99\r\nOK\r\n"},
      {"AT+CBST=71,0,1", "AT+CBST?",
       "AT+CBST=71,0,1\r\nOK\r\nAT+CBST?\r\n\r\n+CBST: 71,0,1\r\nOK\r\n"},
      {"ATZ", "AT+CBST?", "ATZ\r\nOK\r\nAT+CBST?\r\n\r\n+CBST: 7,0,1\r\nOK\r\n"},
      // Quiet from Q1 on: no OK.
      {"AT&C1&S1&D3E0Q1&W", "ATS0?", "AT&C1&S1&D3E0Q1&W\r\n0\r\n"},
  };
  sandbox box;
  box.set("MOD_ORVANE_COMPAT", "1");
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(15)));
  for (const init_row& row : rows) {
    std::string query = *row.query != '\0' ? row.query + std::string("\r") : "";
    exchange(d, row.line + std::string("\r") + query, row.reply);
  }
  // &W wrote the key and the line's settings; &C1 is what no line means.
  std::string saved = read_file(box.settings_path());
  EXPECT_THAT(saved, testing::HasSubstr("\nMOD_ORVANE_STAT_DTR_ACTION=3\n"));
  EXPECT_THAT(saved, testing::EndsWith("\nMOD_ORVANE_COMPAT=1\n"));

  box.unset("MOD_ORVANE_COMPAT");
  exchange(d, "ATZ\r", "OK\r\n");
  for (const init_row& row : rows) {
    if (std::string(row.line) != "ATZ")
      exchange(d, row.line + std::string("\r"), row.line + std::string("\r\nERROR\r\n"));
  }
  d.send_signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds_from_now(15)), 0);
}

}  // namespace
