#include "at/info.h"

#include "at_fixture.h"

namespace {

using Info = at_fixture;

TEST_F(Info, VersionFiles) {
  write_file(ms->paths.router_version, "router 1.2\nbuild 7\n");
  write_file(ms->paths.module_version, "module 3.4\n");
  struct row {
    const char* line;
    std::string reply;
  };
  const std::string router = "router 1.2\r\nbuild 7\r\n";
  const std::string module = "module 3.4\r\n";
  const row rows[] = {
      {"ATI2", router + "OK\r\n"},   {"ATI3", module + "OK\r\n"},
      {"ATI23", router + "OK\r\n"},  {"ATI22", router + "OK\r\n"},
      {"ATI32", module + "OK\r\n"},  {"ATI2I3", router + module + "OK\r\n"},
      {"ATI2E0", router + "OK\r\n"}, {"ATI0", "ERROR\r\n"},
      {"ATI1", "ERROR\r\n"},         {"ATI4", "ERROR\r\n"},
      {"ATI9", "ERROR\r\n"},         {"ATIX", "ERROR\r\n"},
      {"ATI2I4", "ERROR\r\n"},       {"ATI2X", "ERROR\r\n"},
  };
  for (const row& r : rows) {
    ms->settings.stat_echo = 1;
    EXPECT_EQ(run(r.line), r.reply) << r.line;
  }
  EXPECT_EQ(run("ATI2E0"), router + "OK\r\n");
  EXPECT_EQ(ms->settings.stat_echo, 0u);
}

TEST_F(Info, VersionLinePieces) {
  struct row {
    const char* what;
    std::string content;
    std::string printed;
  };
  const std::string long_line = std::string(127, 'a') + std::string(73, 'b');
  const row rows[] = {
      {"200 characters", long_line + "\n",
       std::string(127, 'a') + "\r\n" + std::string(73, 'b') + "\r\n"},
      {"exactly 127 characters", std::string(127, 'c') + "\n", std::string(127, 'c') + "\r\n\r\n"},
      {"126 characters", std::string(126, 'd') + "\n", std::string(126, 'd') + "\r\n"},
      {"CR LF line ends", "one\r\ntwo\r\n", "one\r\ntwo\r\n"},
      {"last line without line end", "one\ntwo", "one\r\ntwo\r\n"},
      {"empty lines", "\n\nx\n", "\r\n\r\nx\r\n"},
      {"stray CRs at the end", "x\r\r\r\n", "x\r\n"},
      {"empty file", "", ""},
  };
  for (const row& r : rows) {
    write_file(ms->paths.router_version, r.content);
    EXPECT_EQ(run("ATI2"), r.printed + "OK\r\n") << r.what;
  }
}

TEST_F(Info, MissingVersionFilePrintsNothing) {
  EXPECT_EQ(run("ATI3"), "OK\r\n");
  EXPECT_EQ(print_file_lines(*ms, ms->paths.module_version.c_str()), -1);
  write_file(ms->paths.module_version, "m\n");
  EXPECT_EQ(print_file_lines(*ms, ms->paths.module_version.c_str()), 0);
  EXPECT_EQ(drain(), "m\r\n");
}

TEST_F(Info, LinesEndWithCurrentS3AndS4) {
  write_file(ms->paths.router_version, "v\n");
  EXPECT_EQ(run("ATS3=300S4=33I2"), "v,!OK,!");
}

TEST_F(Info, Substitutions) {
  write_file(ms->paths.router_version, "router\n");
  add_subst(SUBST_DIAL, "1", "010000000001");
  add_subst(SUBST_INFO, "12", "twelve");
  add_subst(SUBST_INFO, "2", "replaced router");
  add_subst(SUBST_INFO, "0", "");
  struct row {
    const char* line;
    std::string reply;
  };
  const row rows[] = {
      {"ATI123", "twelve\r\nOK\r\n"},
      {"ATI12E0", "twelve\r\nOK\r\n"},
      {"ATI1", "ERROR\r\n"},
      {"ATI13", "ERROR\r\n"},
      {"ATI2", "replaced router\r\nOK\r\n"},
      {"ATI25", "replaced router\r\nOK\r\n"},
      {"ATI0", "\r\nOK\r\n"},
      {"ATI0I12", "\r\ntwelve\r\nOK\r\n"},
  };
  for (const row& r : rows) {
    ms->settings.stat_echo = 1;
    EXPECT_EQ(run(r.line), r.reply) << r.line;
  }
}

TEST_F(Info, QuietStillPrints) {
  write_file(ms->paths.router_version, "r\n");
  ms->settings.stat_quiet = 1;
  EXPECT_EQ(run("ATI2"), "r\r\n");
  EXPECT_EQ(run("AT&V").substr(0, 16), "E   Q   V   &D\r\n");
  EXPECT_EQ(run("ATI4"), "");
}

const std::string report_of_fixture =
    "E   Q   V   &D\r\n"
    "1   0   1   2   \r\n\r\n"
    "S0  S1  S2  S3  S4  S5  S6  S7  S10 S11 S12 S25 \r\n"
    "0   0   43  13  10  8   2   30  0   100 50  0   \r\n";

TEST_F(Info, ReportExactBytes) {
  EXPECT_EQ(run("AT&V"), report_of_fixture + "OK\r\n");
  EXPECT_EQ(run("AT&V1"), "ERROR\r\n");
  EXPECT_EQ(run("AT&V&V"), report_of_fixture + report_of_fixture + "OK\r\n");
}

TEST_F(Info, ReportWidensForLargeValues) {
  EXPECT_EQ(run("ATS7=4294967295S0=12345E0"), "OK\r\n");
  ms->settings.stat_echo = 4294967295u;
  ms->settings.stat_quiet = 2147483648u;
  print_config_report(*ms);
  EXPECT_EQ(drain(),
            "E   Q   V   &D\r\n"
            "-1  -21474836481   2   \r\n\r\n"
            "S0  S1  S2  S3  S4  S5  S6  S7  S10 S11 S12 S25 \r\n"
            // A wide value runs into the next column.
            "123450   43  13  10  8   2   42949672950   100 50  0   \r\n");
}

TEST_F(Info, ReportAllRegistersAtMaximumFits) {
  for (const sreg_register& r : sreg_registers) *sreg_value(*ms, r.number) = 4294967295u;
  // S3 and S4 back at CR and LF, so the line ends are readable.
  ms->settings.sreg_cr = 13;
  ms->settings.sreg_lf = 10;
  print_config_report(*ms);
  std::string got = drain();
  std::string expected_values;
  for (int reg : {0, 1, 2, 3, 4, 5, 6, 7, 10, 11, 12, 25}) {
    expected_values += reg == 3 ? "13  " : reg == 4 ? "10  " : "4294967295";
  }
  EXPECT_EQ(got.substr(got.size() - expected_values.size() - 2), expected_values + "\r\n");
}

}  // namespace
