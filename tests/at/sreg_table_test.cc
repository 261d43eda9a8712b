#include "at/sreg_table.h"

#include "at_fixture.h"

namespace {

using SRegisters = at_fixture;

TEST_F(SRegisters, WriteForms) {
  struct row {
    const char* line;
    std::string reply;
    int reg;
    uint32_t value;
  };
  // S7 starts at 30, S12 at 50.
  const row rows[] = {
      {"ATS7=60", "OK\r\n", 7, 60},
      {"ATS07=5", "OK\r\n", 7, 5},     // octal
      {"ATS0X0C=1", "OK\r\n", 12, 1},  // hexadecimal
      {"ats0xc=2", "OK\r\n", 12, 2},
      {"ATS+7=9", "OK\r\n", 7, 9},
      {"ATS007=8", "OK\r\n", 7, 8},
      {"ATS013=5", "OK\r\n", 11, 5},
      {"ATS031=9", "OK\r\n", 25, 9},
      {"ATS0XA=4", "OK\r\n", 10, 4},
      {"ATS7=0", "OK\r\n", 7, 0},
      {"ATS7=00042", "OK\r\n", 7, 42},
      {"ATS7=4294967295", "OK\r\n", 7, 4294967295u},
      // Beyond 32 bits the value saturates; every digit is still consumed.
      {"ATS7=4294967296", "OK\r\n", 7, 4294967295u},
      {"ATS7=123456789012345678901234567890", "OK\r\n", 7, 4294967295u},
      {"ATS7=60S12=3", "OK\r\n", 12, 3},
      {"ATS08=1", "ERROR\r\n", 7, 30},  // 0 is read, then '8' is not '='
      {"ATS09=1", "ERROR\r\n", 7, 30},
      {"ATS0X=1", "ERROR\r\n", 7, 30},
      {"ATS7=+5", "ERROR\r\n", 7, 30},
      {"ATS7=-5", "ERROR\r\n", 7, 30},
      {"ATS7=5X", "ERROR\r\n", 7, 30},
      {"ATS7=", "ERROR\r\n", 7, 30},
      {"ATS=5", "ERROR\r\n", 7, 30},
      {"ATS7X=5", "ERROR\r\n", 7, 30},
      {"ATS7?=5", "ERROR\r\n", 7, 30},
      {"ATS0?S7=60", "ERROR\r\n", 7, 30},
      {"ATS7=60S7", "ERROR\r\n", 7, 30},
      {"ATE0S7=1", "OK\r\n", 7, 1},
  };
  for (const row& r : rows) {
    make_state();
    EXPECT_EQ(run(r.line), r.reply) << r.line;
    EXPECT_EQ(*sreg_value(*ms, r.reg), r.value) << r.line;
  }
}

TEST_F(SRegisters, AbsentAndOutOfRangeRegistersAreInvalid) {
  for (const char* line : {"ATS8=1", "ATS9=1", "ATS13=1", "ATS24=1", "ATS26=1", "ATS-1=1",
                           "ATS99999999999999999999=1", "ATS8?", "ATS26?", "ATS010=1", "ATS0X1A=1",
                           "ATS-0X1?", "ATS?", "ATS7", "ATSX?", "ATE0S8?"}) {
    make_state();
    EXPECT_EQ(run(line), "ERROR\r\n") << line;
    EXPECT_EQ(ms->settings.stat_echo, 1u) << line;
  }
}

TEST_F(SRegisters, ReadForms) {
  struct row {
    const char* line;
    std::string reply;
  };
  const row rows[] = {
      {"ATS7?", "30\r\nOK\r\n"},
      {"ATS07?", "30\r\nOK\r\n"},
      {"ATS0X7?", "30\r\nOK\r\n"},
      {"ATS-0?", "0\r\nOK\r\n"},
      {"ATS2?", "43\r\nOK\r\n"},
      {"ATS7?S0?", "30\r\n0\r\nOK\r\n"},
      // Everything up to the '?' belongs to the query.
      {"ATS7E0?", "30\r\nOK\r\n"},
      {"ATS7=60S0?", "0\r\nOK\r\n"},
      {"ATS7=60S7?", "60\r\nOK\r\n"},
      {"ATS12=3S12?V0", "3\r\n0\r"},
  };
  for (const row& r : rows) {
    make_state();
    EXPECT_EQ(run(r.line), r.reply) << r.line;
    EXPECT_EQ(ms->settings.stat_echo, 1u) << r.line;
  }
}

TEST_F(SRegisters, QueryExactBytes) {
  EXPECT_EQ(type("ATS7=60S7?\r"), "ATS7=60S7?\r\n60\r\nOK\r\n");
  EXPECT_EQ(ms->settings.sreg_conn_tout, 60u);
}

TEST_F(SRegisters, QueryPrintsSignedAndUsesCurrentLineEnds) {
  EXPECT_EQ(run("ATS7=4294967295S7?"), "-1\r\nOK\r\n");
  // The reply buffer holds 9 characters: the line end of the longest values is cut off.
  EXPECT_EQ(run("ATS7=2147483648S7?"), "-21474836OK\r\n");
  EXPECT_EQ(run("ATS4=300S7=7S7?"), std::string("7\r,") + "OK\r,");
}

TEST_F(SRegisters, EveryPresentRegisterReachesItsField) {
  struct row {
    int reg;
    uint32_t* field;
  };
  const row rows[] = {
      {0, &ms->settings.sreg_auto_answer}, {1, &ms->ring_count},
      {2, &ms->settings.sreg_esc},         {3, &ms->settings.sreg_cr},
      {4, &ms->settings.sreg_lf},          {5, &ms->settings.sreg_bs},
      {6, &ms->settings.sreg_ring_int},    {7, &ms->settings.sreg_conn_tout},
      {10, &ms->settings.sreg_hup_delay},  {11, &ms->settings.sreg_split},
      {12, &ms->settings.sreg_esc_delay},  {25, &ms->settings.sreg_dtr_ignore},
  };
  for (const row& r : rows) {
    uint32_t old = *r.field;
    char line[32];
    // A multiple of 256 keeps the low byte, so the reply still ends in CR LF.
    const uint32_t delta = 256000;
    snprintf(line, sizeof line, "ATS%i=%u", r.reg, old + delta);
    EXPECT_EQ(run(line), "OK\r\n") << line;
    EXPECT_EQ(*r.field, old + delta) << line;
    // A full S3 above 255 would match no typed byte: put every register back.
    *r.field = old;
    snprintf(line, sizeof line, "ATS%i?", r.reg);
    EXPECT_EQ(run(line), std::to_string(old) + "\r\nOK\r\n") << line;
  }
}

TEST_F(SRegisters, RingCountIsS1) {
  ms->ring_count = 2;
  EXPECT_EQ(run("ATS1?"), "2\r\nOK\r\n");
  EXPECT_EQ(run("ATS1=3"), "OK\r\n");
  EXPECT_EQ(ms->ring_count, 3u);
}

TEST_F(SRegisters, LineEndAboveByteRange) {
  // Stored unchanged; afterwards no byte ends a line, but a typed '/' still does.
  EXPECT_EQ(run("ATS3=300"), "OK,\n");
  EXPECT_EQ(ms->settings.sreg_cr, 300u);
  EXPECT_EQ(type("ATS3?\r"), "ATS3?");
  EXPECT_EQ(type("/"), "/,\nERROR,\n");
  EXPECT_EQ(type("A/"), "A/,\nOK,\n");
}

TEST_F(SRegisters, TimingRegistersRecomputeDurations) {
  struct row {
    const char* line;
    int32_t inactivity_sec, split_usec, guard_sec, guard_usec, dtr_sec, dtr_usec;
    const char* stored;  // what ATSn? then shows: the register keeps what was set
  };
  constexpr int32_t MAX = INT32_MAX;
  // Fixture: S10=0, S11=100, S12=50, S25=0.
  const row rows[] = {
      {"ATS11=2000", 0, 2000000, 1, 0, 0, 0, "2000"},
      {"ATS12=50", 0, 100000, 1, 0, 0, 0, "50"},
      {"ATS12=51", 0, 100000, 1, 20000, 0, 0, "51"},
      {"ATS25=5", 0, 100000, 1, 0, 0, 50000, "5"},
      {"ATS25=250", 0, 100000, 1, 0, 2, 500000, "250"},
      {"ATS10=6", 60, 100000, 1, 0, 0, 0, "6"},
      // The largest values that fit, and beyond: a duration saturates, never wraps.
      {"ATS10=214748364", 2147483640, 100000, 1, 0, 0, 0, "214748364"},
      {"ATS10=214748365", MAX, 100000, 1, 0, 0, 0, "214748365"},
      {"ATS10=4294967295", MAX, 100000, 1, 0, 0, 0, "-1"},
      {"ATS11=2147483", 0, 2147483000, 1, 0, 0, 0, "2147483"},
      {"ATS11=2147484", 0, MAX, 1, 0, 0, 0, "2147484"},
      // S12 and S25 are split into seconds in 64 bits: every value takes effect whole.
      {"ATS12=107375", 0, 100000, 2147, 500000, 0, 0, "107375"},
      {"ATS12=214748", 0, 100000, 4294, 960000, 0, 0, "214748"},
      {"ATS12=4294967295", 0, 100000, 85899345, 900000, 0, 0, "-1"},
      {"ATS25=300000", 0, 100000, 1, 0, 3000, 0, "300000"},
      {"ATS25=4294967295", 0, 100000, 1, 0, 42949672, 950000, "-1"},
  };
  for (const row& r : rows) {
    make_state();
    EXPECT_EQ(run(r.line), "OK\r\n") << r.line;
    EXPECT_EQ(ms->inactivity_timeout_sec, r.inactivity_sec) << r.line;
    EXPECT_EQ(ms->split_timeout_usec, r.split_usec) << r.line;
    EXPECT_EQ(ms->escape_guard_sec, r.guard_sec) << r.line;
    EXPECT_EQ(ms->escape_guard_usec, r.guard_usec) << r.line;
    EXPECT_EQ(ms->dtr_ignore_sec, r.dtr_sec) << r.line;
    EXPECT_EQ(ms->dtr_ignore_usec, r.dtr_usec) << r.line;
    std::string query = std::string(r.line).substr(0, std::string(r.line).find('=')) + "?";
    // The reply holds at most 9 bytes: a long value loses its line end.
    EXPECT_EQ(run(query), (std::string(r.stored) + "\r\n").substr(0, 9) + "OK\r\n") << r.line;
  }
}

// What start-up says of such values: tests/config/settings_check_test.cc.
TEST_F(SRegisters, SecondsBeyondWhatTimersHoldSaturate) {
  EXPECT_EQ(saturated_seconds(2147483648u), INT32_MAX);
  EXPECT_EQ(saturated_seconds(30), 30);
}

TEST_F(SRegisters, OtherRegistersLeaveDurationsAlone) {
  ms->split_timeout_usec = 1;
  EXPECT_EQ(run("ATS7=9S0=1S2=44"), "OK\r\n");
  EXPECT_EQ(ms->split_timeout_usec, 1);
}

TEST_F(SRegisters, CheckPassChangesNothing) {
  std::string text = "7=60";
  EXPECT_EQ(cmd_sreg(*ms, text.data(), true), 4);
  EXPECT_EQ(ms->settings.sreg_conn_tout, 30u);
  text = "7E1?S0=1";  // an '=' later on the line selects the write form
  EXPECT_EQ(cmd_sreg(*ms, text.data(), true), -1);
  text = "7E1?";
  EXPECT_EQ(cmd_sreg(*ms, text.data(), true), 4);
  text = "7=+5";
  EXPECT_EQ(cmd_sreg(*ms, text.data(), true), 2);
  EXPECT_EQ(cmd_sreg(*ms, text.data(), false), 2);
  EXPECT_EQ(ms->settings.sreg_conn_tout, 5u);
  EXPECT_EQ(drain(), "");
}

}  // namespace
