#include "platform/lock_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/sim_world.h"
#include "test_support.h"

namespace {

const char* const DEVICE = "/dev/ttyS0";

std::string pid_text(int pid) {
  char text[16];
  snprintf(text, sizeof text, "%10d\n", pid);
  return text;
}

size_t entries(const std::string& dir) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
  return n;
}

}  // namespace

TEST(LockFile, NameIsTheLastPathComponent) {
  struct {
    const char* device;
    const char* dir;
    const char* name;
  } cases[] = {
      {"/dev/ttyS0", "/var/lock", "/var/lock/LCK..ttyS0"},
      {"/dev/ttyS1", "/var/lock", "/var/lock/LCK..ttyS1"},
      {"/dev/pts/3", "/tmp/x", "/tmp/x/LCK..3"},
      {"ttyUSB0", "/run/lock", "/run/lock/LCK..ttyUSB0"},
  };
  for (const auto& c : cases) EXPECT_EQ(lock_file_name(c.device, c.dir), c.name);
}

// The retries wait on the simulated clock: the world's time is the time the daemon would wait.
TEST(LockFile, NoLockIsCreatedWithOurPid) {
  temp_dir dir;
  sim_world world;
  mode_t old_mask = umask(022);
  EXPECT_EQ(lock_device(DEVICE, dir.path().c_str(), 1), 1);
  umask(old_mask);
  EXPECT_EQ(world.now(), 0);
  std::string content = read_file(dir.file("LCK..ttyS0"));
  EXPECT_EQ(content.size(), 11u);
  EXPECT_EQ(content, pid_text(getpid()));
  struct stat st {};
  ASSERT_EQ(stat(dir.file("LCK..ttyS0").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(entries(dir.path()), 1u);
}

TEST(LockFile, LiveOwnerHoldsTheLockUntilTheDeadline) {
  temp_dir dir;
  live_child owner;
  ASSERT_GT(owner.pid, 0);
  std::string path = dir.file("LCK..ttyS1");
  std::string content = pid_text(owner.pid);
  write_file(path, content);
  sim_world world;
  EXPECT_EQ(lock_device("/dev/ttyS1", dir.path().c_str(), 1), 0);
  // Until the monotonic clock has passed the deadline's whole second.
  EXPECT_GT(world.now(), 1 * SEC);
  EXPECT_LE(world.now(), 2 * SEC);
  EXPECT_EQ(read_file(path), content);
}

TEST(LockFile, PidIsReadWithOrWithoutPadding) {
  temp_dir dir;
  live_child owner;
  ASSERT_GT(owner.pid, 0);
  std::string path = dir.file("LCK..ttyS0");
  for (const std::string& content :
       {std::to_string(owner.pid) + "\n", pid_text(owner.pid), "\n " + std::to_string(owner.pid),
        std::to_string(owner.pid) + " trailing"}) {
    write_file(path, content);
    sim_world world;
    // Timeout 0 still makes attempts for up to a second.
    EXPECT_EQ(lock_device(DEVICE, dir.path().c_str(), 0), 0) << content;
    EXPECT_GT(world.now(), 0) << content;
    EXPECT_LE(world.now(), 1 * SEC) << content;
    EXPECT_EQ(read_file(path), content);
  }
}

TEST(LockFile, OwnPidCountsAsHeld) {
  temp_dir dir;
  std::string path = dir.file("LCK..ttyS0");
  write_file(path, pid_text(getpid()));
  sim_world world;
  EXPECT_EQ(lock_device(DEVICE, dir.path().c_str(), 0), 0);
  EXPECT_EQ(read_file(path), pid_text(getpid()));
}

TEST(LockFile, StaleLocksAreReplaced) {
  temp_dir dir;
  std::string path = dir.file("LCK..ttyS0");
  int dead = dead_pid();
  ASSERT_GT(dead, 0);
  sim_world world;
  for (const std::string& content :
       {pid_text(dead), std::to_string(dead) + "\n", std::string("0"), std::string("-5"),
        std::string("         0\n"), std::string("junk"), std::string(""), std::string(" \n"),
        std::string("x1234\n")}) {
    write_file(path, content);
    EXPECT_EQ(lock_device(DEVICE, dir.path().c_str(), 1), 1) << '"' << content << '"';
    EXPECT_EQ(read_file(path), pid_text(getpid())) << '"' << content << '"';
    EXPECT_EQ(entries(dir.path()), 1u);
  }
  EXPECT_EQ(world.now(), 0);
}

// A lock that cannot be created is reported at once with the reason, not as held.
TEST(LockFile, UncreatableLockFailsAtOnceWithTheReason) {
  temp_dir dir;
  std::string missing = dir.file("no-such-dir");
  std::string not_a_dir = dir.file("plain-file");
  write_file(not_a_dir, "");
  struct {
    std::string dir;
    int error;
  } cases[] = {{missing, ENOENT}, {not_a_dir, ENOTDIR}};
  sim_world world;
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(lock_device(DEVICE, c.dir.c_str(), 5), -1) << c.dir;
    EXPECT_EQ(errno, c.error) << c.dir;
  }
  // Not the 5 seconds a held lock would be retried for.
  EXPECT_EQ(world.now(), 0);
  EXPECT_FALSE(path_exists(missing));
}

TEST(LockFile, UnlockRemovesWhateverIsThere) {
  temp_dir dir;
  log_capture log;
  sim_world world;
  std::string path = dir.file("LCK..ttyS0");
  write_file(dir.file("LCK..ttyS1"), pid_text(1));
  ASSERT_EQ(lock_device(DEVICE, dir.path().c_str(), 1), 1);
  unlock_device(DEVICE, dir.path().c_str());
  EXPECT_FALSE(path_exists(path));

  write_file(path, pid_text(1));
  unlock_device(DEVICE, dir.path().c_str());
  EXPECT_FALSE(path_exists(path));

  unlock_device(DEVICE, dir.path().c_str());
  EXPECT_FALSE(path_exists(path));
  EXPECT_EQ(read_file(dir.file("LCK..ttyS1")), pid_text(1));
  EXPECT_TRUE(log.lines().empty());
}
