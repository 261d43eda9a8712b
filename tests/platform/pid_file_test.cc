#include "platform/pid_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>

#include "test_support.h"

TEST(PidFile, ClaimReplacesALeftOverHoldsItAndReleasesOnlyItsOwn) {
  temp_dir dir;
  std::string path = dir.file("orvaned.pid");
  int pid = 12345;
  EXPECT_FALSE(read_pid_file(path.c_str(), pid));

  write_file(path, "123456789012\nold content\n");
  unique_fd held;
  int holder = -1;
  ASSERT_EQ(claim_pid_file(path.c_str(), 4321, held, holder), PID_CLAIMED);
  EXPECT_EQ(read_file(path), "4321\n");
  ASSERT_TRUE(read_pid_file(path.c_str(), pid));
  EXPECT_EQ(pid, 4321);
  // The lock, not the content, keeps a second claimant out.
  unique_fd other;
  EXPECT_EQ(claim_pid_file(path.c_str(), 999, other, holder), PID_HELD);
  EXPECT_EQ(holder, 4321);
  EXPECT_FALSE(other.valid());
  release_pid_file(path.c_str(), held, 999);
  EXPECT_EQ(read_file(path), "4321\n");
  release_pid_file(path.c_str(), held, 4321);
  EXPECT_FALSE(path_exists(path));

  errno = 0;
  EXPECT_EQ(claim_pid_file(dir.file("missing/orvaned.pid").c_str(), 1, other, holder), PID_FAILED);
  EXPECT_EQ(errno, ENOENT);
}

// Pid files and lock files ("%10d\n") read through the same reader.
TEST(PidFile, ReadsTheNumberAtTheStart) {
  temp_dir dir;
  std::string path = dir.file("pid");
  struct {
    const char* content;
    int pid;
  } cases[] = {
      {"77\n", 77}, {"   77 \n", 77}, {"77abc", 77},          {"", 0}, {"abc\n", 0}, {"\n\n", 0},
      {"-3\n", -3}, {"-1\n", -1},     {"      4242\n", 4242},
  };
  for (const auto& c : cases) {
    write_file(path, c.content);
    int pid = 99;
    EXPECT_TRUE(read_pid_file(path.c_str(), pid)) << '"' << c.content << '"';
    EXPECT_EQ(pid, c.pid) << '"' << c.content << '"';
  }
}

TEST(PidFile, ProcessAlive) {
  // kill() with 0 or -1 would address a whole group or every process; those ids never count.
  for (int pid : {0, -1, -5, INT_MIN}) EXPECT_EQ(process_alive(pid), 0) << pid;
  EXPECT_EQ(process_alive(getpid()), 1);
  live_child child;
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(process_alive(child.pid), 1);
  EXPECT_EQ(process_alive(dead_pid()), 0);
}

// Only a process running this very executable counts as another instance; a pid reused by
// another program after a crash, or one that names nothing, does not.
TEST(PidFile, RunsThisExecutable) {
  ASSERT_TRUE(std::filesystem::exists("/bin/sleep"));
  live_child same;
  live_child other("/bin/sleep");
  ASSERT_GT(same.pid, 0);
  ASSERT_GT(other.pid, 0);
  // The exec of the other program may not have happened yet.
  for (int i = 0; i < 200 && read_file("/proc/" + std::to_string(other.pid) + "/comm") != "sleep\n";
       ++i) {
    usleep(10000);
  }
  ASSERT_EQ(read_file("/proc/" + std::to_string(other.pid) + "/comm"), "sleep\n");

  EXPECT_TRUE(runs_this_executable(getpid()));
  EXPECT_TRUE(runs_this_executable(same.pid));
  EXPECT_FALSE(runs_this_executable(other.pid));
  EXPECT_FALSE(runs_this_executable(dead_pid()));
}
