// orvane-settings and a running daemon sharing one settings file: what the tool stores is what
// ATZ loads, and what AT&W stores is what the tool reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "e2e/daemon_harness.h"
#include "tools/run_program.h"

namespace {

using testing::HasSubstr;

program_result tool(const sandbox& box, std::vector<std::string> args) {
  args.insert(args.begin(), SETTINGS_TOOL);
  return run_program(args, {"ORVANED_ROOT=" + box.root()});
}

// Sends a command line and returns what came back up to and including the final result.
std::string command(daemon_process& daemon, const std::string& line, const std::string& until) {
  EXPECT_TRUE(daemon.serial_write(line + "\r"));
  return daemon.serial_read_until(until, seconds_from_now(10));
}

TEST(SettingsWithDaemon, ValuesSetByTheToolAreWhatAtzLoads) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  daemon_process daemon(box);
  ASSERT_TRUE(daemon.start());
  ASSERT_TRUE(daemon.wait_running(seconds_from_now(20))) << daemon.log_text();

  program_result set =
      tool(box, {"set", "sreg_auto_answer=3", "sreg_conn_tout=77", "stat_dtr_action=1"});
  ASSERT_EQ(set.status, 0) << set.err;
  // Until the reload the daemon keeps its values.
  EXPECT_THAT(command(daemon, "ATS7?", "OK\r\n"), HasSubstr("30\r\n"));
  EXPECT_THAT(command(daemon, "ATZ", "OK\r\n"), HasSubstr("OK\r\n"));
  std::string report = command(daemon, "AT&V", "OK\r\n");
  EXPECT_THAT(report, HasSubstr("E   Q   V   &D\r\n1   0   1   1   \r\n"));
  EXPECT_THAT(report, HasSubstr("S0  S1  S2  S3  S4  S5  S6  S7  S10 S11 S12 S25 \r\n"
                                "3   0   43  13  10  8   2   77  0   100 50  0   \r\n"));
}

TEST(SettingsWithDaemon, ValuesStoredByAtwAreWhatTheToolReads) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_CFG_SCRIPT", base64_of("I7:Line seven\n"));
  daemon_process daemon(box);
  ASSERT_TRUE(daemon.start());
  ASSERT_TRUE(daemon.wait_running(seconds_from_now(20))) << daemon.log_text();

  EXPECT_THAT(command(daemon, "ATS7=55S12=25&W", "OK\r\n"), HasSubstr("OK\r\n"));
  EXPECT_EQ(tool(box, {"get", "MOD_ORVANE_SREG_CONN_TOUT"}).out, "55\n");
  EXPECT_EQ(tool(box, {"get", "sreg_esc_delay"}).out, "25\n");
  EXPECT_EQ(tool(box, {"script", "get"}).out, "I7:Line seven\n");
  program_result checked = tool(box, {"check"});
  EXPECT_EQ(checked.status, 0) << checked.err;
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

// Settings kept on flash and linked where the daemon looks: AT&W and the tool replace the file
// on flash, keep the link, the file's mode, owner and group, and clear a temporary file that a
// crash between write and rename left there.
TEST(SettingsWithDaemon, LinkedSettingsStayLinkedAndKeepTheirOwner) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  std::string flash = box.path("/flash");
  ASSERT_TRUE(std::filesystem::create_directory(flash));
  std::string stored = flash + "/settings";
  ASSERT_EQ(rename(box.settings_path().c_str(), stored.c_str()), 0);
  ASSERT_EQ(symlink("../../../flash/settings", box.settings_path().c_str()), 0);
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(stored.c_str(), 4321, 8765), 0);
  }
  ASSERT_EQ(chmod(stored.c_str(), 0640), 0);
  std::string crashed = stored + ".orvane-" + std::to_string(dead_pid()) + "-Ab12Cd";
  write_file(crashed, "half a file");

  daemon_process daemon(box);
  ASSERT_TRUE(daemon.start());
  ASSERT_TRUE(daemon.wait_running(seconds_from_now(20))) << daemon.log_text();
  EXPECT_THAT(command(daemon, "ATS7=55&W", "OK\r\n"), HasSubstr("OK\r\n"));
  ASSERT_EQ(tool(box, {"set", "sreg_auto_answer=4"}).status, 0);

  EXPECT_TRUE(std::filesystem::is_symlink(box.settings_path()));
  EXPECT_EQ(names_in(flash), std::set<std::string>{"settings"});
  EXPECT_EQ(names_in(box.path("/opt/orvane/etc")), (std::set<std::string>{"settings", "version"}));
  EXPECT_EQ(tool(box, {"get", "sreg_conn_tout"}).out, "55\n");
  EXPECT_EQ(tool(box, {"get", "sreg_auto_answer"}).out, "4\n");
  struct stat st {};
  ASSERT_EQ(stat(stored.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 8765u);
  }
}

}  // namespace
