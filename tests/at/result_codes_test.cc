#include "at/result_codes.h"

#include "at_fixture.h"

namespace {

using ResultCodes = at_fixture;

TEST_F(ResultCodes, FormAndSpoofing) {
  struct row {
    int code;
    uint32_t verbose;
    uint32_t spoof_ok;
    std::string bytes;
  };
  const row rows[] = {
      {RESULT_OK, 1, 0, "OK\r\n"},
      {RESULT_OK, 0, 0, "0\r"},
      {RESULT_ERROR, 1, 0, "ERROR\r\n"},
      {RESULT_ERROR, 0, 0, "4\r"},
      {RESULT_ERROR, 1, 1, "OK\r\n"},
      {RESULT_ERROR, 0, 7, "0\r"},
      {RESULT_NO_CARRIER, 1, 1, "NO CARRIER\r\n"},
      {RESULT_RING, 0, 0, "1\r"},
      {RESULT_BUSY, 1, 0, "BUSY\r\n"},
      {RESULT_NO_ANSWER, 1, 0, "NO ANSWER\r\n"},
      {RESULT_CONNECT_0600, 1, 0, "CONNECT 0600\r\n"},
      {RESULT_CONNECT_1200, 1, 0, "CONNECT 1200\r\n"},
      {RESULT_CONNECT_115200, 1, 0, "CONNECT 115200\r\n"},
      {RESULT_CONNECT_115200, 0, 0, "19\r"},
      // Codes without text: nothing in verbose form, the number in numeric form.
      {2, 1, 0, ""},
      {2, 0, 0, "2\r"},
      {13, 1, 0, ""},
      {6, 0, 0, "6\r"},
  };
  for (const row& r : rows) {
    ms->settings.stat_verbosity = r.verbose;
    ms->settings.spoof_ok = r.spoof_ok;
    send_result(*ms, r.code);
    EXPECT_EQ(drain(), r.bytes) << "code " << r.code << " V" << r.verbose << " spoof "
                                << r.spoof_ok;
  }
}

TEST_F(ResultCodes, QuietIsTheCallersBusiness) {
  ms->settings.stat_quiet = 1;
  send_result(*ms, RESULT_NO_CARRIER);
  EXPECT_EQ(drain(), "NO CARRIER\r\n");
}

TEST_F(ResultCodes, VerboseFormIsTracedNumericIsNot) {
  ms->settings.spoof_ok = 1;
  send_result(*ms, RESULT_ERROR);
  EXPECT_TRUE(log.has(8, "response: \"OK\""));
  EXPECT_EQ(log.lines().size(), 1u);
  log.clear();
  ms->settings.stat_verbosity = 0;
  send_result(*ms, RESULT_ERROR);
  send_result(*ms, 2);
  EXPECT_TRUE(log.lines().empty());
  ms->settings.stat_verbosity = 1;
  send_result(*ms, 2);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(ResultCodes, LineEndsAreTheLowBytesOfS3AndS4) {
  ms->settings.sreg_cr = 0x100 + '*';
  ms->settings.sreg_lf = 0x7700 + '#';
  send_result(*ms, RESULT_OK);
  EXPECT_EQ(drain(), "OK*#");
  ms->settings.stat_verbosity = 0;
  send_result(*ms, RESULT_NO_ANSWER);
  EXPECT_EQ(drain(), "8*");
}

TEST(ConnectCode, ChosenByBaudRate) {
  struct row {
    unsigned baud;
    int code;
  };
  const row rows[] = {
      {300, 9},    {600, 9},    {1200, 5},   {2400, 10},  {4800, 11},
      {9600, 12},  {19200, 16}, {38400, 17}, {57600, 18}, {115200, 19},
      {230400, 4}, {0, 4},      {110, 4},    {9601, 4},   {4294967295u, 4},
  };
  for (const row& r : rows) EXPECT_EQ(connect_code_for_baud(r.baud), r.code) << r.baud;
}

}  // namespace
