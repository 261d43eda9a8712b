// The wait for an earlier instance: a pid file that names another running daemon (the same
// executable) holds start-up back (for at most 30 seconds); any other pid file, also one naming
// a live process of another program, is replaced at once.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "e2e/daemon_harness.h"
#include "platform/unique_fd.h"

namespace {

constexpr double kExitSeconds = 15;

enum stale_kind { STALE_DEAD_PID, STALE_GARBAGE, STALE_EMPTY, STALE_OWN_PID, STALE_OTHER_PROGRAM };

struct stale_case {
  const char* name;
  stale_kind kind;
};

void PrintTo(const stale_case& c, std::ostream* os) { *os << c.name; }

class StalePidFile : public testing::TestWithParam<stale_case> {};

TEST_P(StalePidFile, IsReplacedWithoutWaiting) {
  const stale_case& c = GetParam();
  sandbox box;
  ASSERT_TRUE(box.ok());
  // After a crash and a reboot the pid may belong to a long-lived program of another kind.
  std::optional<live_child> other;
  if (c.kind == STALE_OTHER_PROGRAM) {
    other.emplace("/bin/sleep");
    ASSERT_GT(other->pid, 0);
    write_file(box.pid_path(), std::to_string(other->pid) + "\n");
  } else if (c.kind == STALE_DEAD_PID) {
    pid_t gone = dead_pid();
    ASSERT_GT(gone, 0);
    write_file(box.pid_path(), std::to_string(gone) + "\n");
  } else if (c.kind == STALE_GARBAGE) {
    write_file(box.pid_path(), "not a pid\n");
  } else if (c.kind == STALE_EMPTY) {
    write_file(box.pid_path(), "");
  }
  daemon_process d(box);
  auto start = std::chrono::steady_clock::now();
  if (c.kind == STALE_OWN_PID) {
    // The file names the daemon's own process before it executes.
    ASSERT_TRUE(
        d.start([&](pid_t child) { write_file(box.pid_path(), std::to_string(child) + "\n"); }));
  } else {
    ASSERT_TRUE(d.start());
  }
  // A waiting daemon would need 30 seconds; a replacing one is running within a few.
  ASSERT_TRUE(d.wait_running(seconds_from_now(12)));
  EXPECT_LT(seconds_since(start), 12);
  EXPECT_FALSE(d.has_log("Multiple instances of daemon detected - exiting"));
  for (const log_line& line : d.log()) EXPECT_NE(line.text.rfind("waiting up to", 0), 0u);
  EXPECT_EQ(read_file(box.pid_path()), std::to_string(d.pid()) + "\n");

  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
  EXPECT_FALSE(path_exists(box.pid_path()));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, StalePidFile,
    testing::Values(stale_case{"DeadPid", STALE_DEAD_PID}, stale_case{"Garbage", STALE_GARBAGE},
                    stale_case{"Empty", STALE_EMPTY}, stale_case{"OwnPid", STALE_OWN_PID},
                    stale_case{"OtherProgram", STALE_OTHER_PROGRAM}),
    [](const testing::TestParamInfo<stale_case>& p) { return std::string(p.param.name); });

// A daemon running under another root: another instance of the same executable.
struct other_instance {
  sandbox box;
  daemon_process daemon{box};
  testing::AssertionResult start() {
    if (!box.ok()) return testing::AssertionFailure() << box.error();
    if (!daemon.start()) return testing::AssertionFailure() << "fork failed";
    return daemon.wait_running(seconds_from_now(15));
  }
  std::string pid_line() const { return std::to_string(daemon.pid()) + "\n"; }
};

TEST(PidFile, LiveOwnerDelaysStartUntilTheFileGoes) {
  other_instance earlier;
  ASSERT_TRUE(earlier.start());
  sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string other = earlier.pid_line();
  write_file(box.pid_path(), other);
  daemon_process d(box);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(d.start());
  ASSERT_TRUE(d.wait_log("started", seconds_from_now(10), 5));
  // The other party is named at once, not after the wait.
  ASSERT_TRUE(d.wait_log(
      "waiting up to 30 s for orvaned pid " + std::to_string(earlier.daemon.pid()) + " to exit",
      seconds_from_now(10), 4));

  // While the file stays, start-up goes no further: no pid file of its own, no lock, no socket.
  while (seconds_since(start) < 3) {
    ASSERT_TRUE(d.alive()) << d.log_text();
    EXPECT_EQ(read_file(box.pid_path()), other);
    EXPECT_FALSE(path_exists(box.lock_path()));
    EXPECT_FALSE(d.listening());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_EQ(unlink(box.pid_path().c_str()), 0);
  auto removed = std::chrono::steady_clock::now();

  ASSERT_TRUE(d.wait_running(seconds_from_now(15)));
  EXPECT_LT(seconds_since(removed), 15);
  EXPECT_EQ(read_file(box.pid_path()), std::to_string(d.pid()) + "\n");
  EXPECT_FALSE(d.has_log("Multiple instances of daemon detected - exiting"));

  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(kExitSeconds)), 0);
}

// Pairs of daemons started at the same moment on one root: one runs, the other waits for it, and
// the pid file names the one that runs. One that wrote the file too and removed it on its way out
// (the device being taken) would leave the survivor without one.
TEST(PidFile, SimultaneousStartsLeaveTheSurvivorNamed) {
  for (int pair = 0; pair < (running_emulated() ? 5 : 25); ++pair) {
    SCOPED_TRACE("pair " + std::to_string(pair));
    sandbox box;
    ASSERT_TRUE(box.ok());
    // Each waits on one FIFO and starts the daemon when its line arrives.
    std::string go = box.path("/go");
    ASSERT_EQ(mkfifo(go.c_str(), 0600), 0);
    unique_fd fifo(open(go.c_str(), O_RDWR | O_CLOEXEC));
    daemon_process a(box);
    daemon_process b(box);
    for (daemon_process* d : {&a, &b}) {
      d->set_launcher({"/bin/sh", "-c", "read x <" + go + "; exec \"$0\""});
      ASSERT_TRUE(d->start());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(write(fifo.get(), "g\ng\n", 4), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the cores are theirs
    steady_deadline deadline = seconds_from_now(15);
    while (!a.listening() && !b.listening() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    bool a_runs = a.listening();
    daemon_process& loser = a_runs ? b : a;
    ASSERT_TRUE((a_runs ? a : b).wait_running(seconds_from_now(15)));
    // The loser waits for the survivor or has ended: either way it is done with the file.
    ASSERT_TRUE(loser.wait_log_if(
        [](const log_line& l) {
          return l.text.starts_with("waiting up to") || l.text == "terminated";
        },
        seconds_from_now(10), "waiting or ended"));
    if (loser.has_log("terminated")) loser.wait_exit(seconds_from_now(kExitSeconds));
    EXPECT_EQ(read_file(box.pid_path()), std::to_string((a_runs ? a : b).pid()) + "\n");
  }
}

// Takes about 30 seconds.
TEST(PidFile, LiveOwnerForGoodEndsStartUpAfterThirtySeconds) {
  other_instance earlier;
  ASSERT_TRUE(earlier.start());
  sandbox box;
  ASSERT_TRUE(box.ok());
  const std::string other = earlier.pid_line();
  write_file(box.pid_path(), other);
  daemon_process d(box);
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(d.start());
  int status = d.wait_exit(seconds_from_now(60));
  double waited = seconds_since(start);

  EXPECT_EQ(status, 1);
  EXPECT_GE(waited, 29);
  EXPECT_LE(waited, 45);
  EXPECT_TRUE(d.has_log("started", 5));
  EXPECT_TRUE(d.has_log("Multiple instances of daemon detected - exiting", 3)) << d.log_text();
  // The settings (and their level threshold) are not loaded yet, so "terminated" is filtered.
  EXPECT_FALSE(d.has_log("terminated")) << d.log_text();
  // The pid file belongs to the other instance and stays.
  EXPECT_EQ(read_file(box.pid_path()), other);
  EXPECT_FALSE(path_exists(box.lock_path()));
}

}  // namespace
