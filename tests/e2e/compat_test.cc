// The init strings of common modem software and devices, and the queries of equipment built
// for cellular modems, through the built daemon: with MOD_ORVANE_COMPAT=1 each is answered as a
// modem would and its settings are applied; reloaded with COMPAT=0, each answers ERROR again.
#include <signal.h>

#include <string>

#include "e2e/daemon_harness.h"

namespace {

const std::string kReport =
    "S0  S1  S2  S3  S4  S5  S6  S7  S10 S11 S12 S25 \r\n"
    "0   0   43  13  10  8   2   ";

struct init_row {
  const char* line;  // typed, without S3
  std::string reply;
  const char* query;  // typed next, showing the line's settings (nullptr: none)
  std::string query_reply;
};

void exchange(daemon_process& d, const std::string& typed, const std::string& expected) {
  SCOPED_TRACE(typed);
  ASSERT_TRUE(d.serial_write(typed + "\r"));
  EXPECT_EQ(d.serial_read_until(expected, seconds_from_now(5)), expected) << d.log_text();
}

TEST(Compat, InitStringsAndCellularQueriesThenErrorWithoutCompat) {
  const init_row rows[] = {
      {"AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0", "AT S7=45 S0=0 L1 V1 X4 &c1 E1 Q0\r\nOK\r\n", "ATS7?",
       "ATS7?\r\n45\r\nOK\r\n"},
      {"ATS0=0V1Q0&D3&C1", "ATS0=0V1Q0&D3&C1\r\nOK\r\n", "AT&V",
       "AT&V\r\nE   Q   V   &D  &C\r\n1   0   1   3   1   \r\n\r\n" + kReport +
           "45  0   100 50  0   \r\nOK\r\n"},
      {"ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0", "ATQ0 V1 E1 S0=0 &C1 &D2 +FCLASS=0\r\nOK\r\n",
       "ATS0?+FCLASS?", "ATS0?+FCLASS?\r\n0\r\n\r\n0\r\nOK\r\n"},
      // E0 takes effect after its own line's echo; &F brought S7 back to 30.
      {"AT&FE0V1&C1&D2S0=0", "AT&FE0V1&C1&D2S0=0\r\nOK\r\n", "AT&V",
       "E   Q   V   &D  &C\r\n0   0   1   2   1   \r\n\r\n" + kReport +
           "30  0   100 50  0   \r\nOK\r\n"},
      {"AT&F", "OK\r\n", "ATS7?", "ATS7?\r\n30\r\nOK\r\n"},
      {"AT+CPIN?", "AT+CPIN?\r\n\r\n+CPIN: READY\r\nOK\r\n", nullptr, ""},
      {"AT+CREG?", "AT+CREG?\r\n\r\n+CREG: 0,1\r\nOK\r\n", nullptr, ""},
      {"AT+CSQ", "AT+CSQ\r\n\r\n+CSQ: 20,99\r\nOK\r\n", nullptr, ""},
      {"AT+CBST=71,0,1", "AT+CBST=71,0,1\r\nOK\r\n", "AT+CBST?",
       "AT+CBST?\r\n\r\n+CBST: 71,0,1\r\nOK\r\n"},
      {"ATZ", "ATZ\r\nOK\r\n", "AT+CBST?", "AT+CBST?\r\n\r\n+CBST: 7,0,1\r\nOK\r\n"},
      // Quiet from Q1 on: no OK; the report and the saved file show the line's settings.
      {"AT&C1&S1&D3E0Q1&W", "AT&C1&S1&D3E0Q1&W\r\n", "AT&V",
       "E   Q   V   &D  &C\r\n0   1   1   3   1   \r\n\r\n" + kReport + "30  0   100 50  0   \r\n"},
  };
  sandbox box;
  box.set("MOD_ORVANE_COMPAT", "1");
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_running(seconds_from_now(15)));
  for (const init_row& row : rows) {
    exchange(d, row.line, row.reply);
    if (row.query != nullptr) exchange(d, row.query, row.query_reply);
  }
  std::string saved = read_file(box.settings_path());
  for (const char* line : {"\nMOD_ORVANE_STAT_ECHO=0\n", "\nMOD_ORVANE_STAT_QUIET=1\n",
                           "\nMOD_ORVANE_STAT_DTR_ACTION=3\n", "\nMOD_ORVANE_COMPAT=1\n"}) {
    EXPECT_NE(saved.find(line), std::string::npos) << line << saved;
  }
  EXPECT_EQ(saved.find("MOD_ORVANE_STAT_DCD"), std::string::npos) << saved;

  // The file without the key: ATZ takes it (answered in the reloaded Q0), and every line of the
  // table is an unknown command again.
  box.unset("MOD_ORVANE_COMPAT");
  exchange(d, "ATZ", "OK\r\n");
  for (const init_row& row : rows) {
    if (std::string(row.line) != "ATZ")
      exchange(d, row.line, row.line + std::string("\r\nERROR\r\n"));
  }
  d.send_signal(SIGTERM);
  EXPECT_EQ(d.wait_exit(seconds_from_now(15)), 0);
}

}  // namespace
