// The init script for BusyBox-style routers, run by each POSIX shell found here against the
// built daemon in a sandbox root (a pty stands in for the serial port).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/daemon_harness.h"
#include "tools/run_program.h"

namespace {

using testing::HasSubstr;
using testing::MatchesRegex;

const std::string init_script = SOURCE_DIR "/packaging/orvaned.init";

// A shell as the command words that run a script with it.
struct shell {
  std::string name;
  std::vector<std::string> words;
};

std::vector<shell> shells_here() {
  std::vector<shell> found;
  if (access("/bin/sh", X_OK) == 0) found.push_back({"sh", {"/bin/sh"}});
  if (access("/bin/dash", X_OK) == 0) found.push_back({"dash", {"/bin/dash"}});
  if (access("/bin/busybox", X_OK) == 0) found.push_back({"busybox", {"/bin/busybox", "sh"}});
  return found;
}

class init_script_run {
 public:
  init_script_run(shell sh, const sandbox& box) : sh_(std::move(sh)), box_(box) {}

  program_result operator()(const std::string& action) const {
    std::vector<std::string> argv = sh_.words;
    argv.push_back(init_script);
    argv.push_back(action);
    return run_program(argv, {"ORVANED_ROOT=" + box_.root(), "ORVANED_DAEMON=" ORVANED_BINARY,
                              "ORVANED_LOG_FILE=" + log_path(), "ORVANED_LOG_STDERR=1"});
  }
  std::string log_path() const { return box_.path("/orvaned.log"); }

 private:
  shell sh_;
  const sandbox& box_;
};

int pid_in(const std::string& path) {
  std::string text = read_file(path);
  return text.empty() ? -1 : atoi(text.c_str());
}

bool wait_for_file(const std::string& path, steady_deadline deadline) {
  while (!path_exists(path)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// Reaps `pid`, which this process inherits as a subreaper once the script's shell has gone.
// Returns its exit status, or -1 when it is not reaped before the deadline.
int reap(pid_t pid, steady_deadline deadline) {
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 || std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class InitScript : public testing::Test {
 protected:
  void SetUp() override {
    if (running_emulated()) {
      GTEST_SKIP() << "qemu-user 7.2 refuses prctl(PR_SET_CHILD_SUBREAPER) (EINVAL)";
    }
    // Daemons started by the script outlive its shell; as subreaper this process gets them
    // and can see how they ended.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  }
};

TEST_F(InitScript, StartStatusStatusFilesStopWithEveryShell) {
  std::vector<shell> shells = shells_here();
  ASSERT_FALSE(shells.empty());
  for (const shell& sh : shells) {
    SCOPED_TRACE(sh.name);
    sandbox box;
    ASSERT_TRUE(box.ok());
    init_script_run run(sh, box);

    program_result started = run("start");
    ASSERT_EQ(started.status, 0) << started.err << read_file(run.log_path());
    int pid = pid_in(box.pid_path());
    ASSERT_GT(pid, 0);
    EXPECT_EQ(started.out, "orvaned started (pid " + std::to_string(pid) + ")\n");

    program_result status = run("status");
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.out, "orvaned is running (pid " + std::to_string(pid) + ")\n");
    program_result again = run("start");
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, "orvaned is already running (pid " + std::to_string(pid) + ")\n");
    EXPECT_EQ(pid_in(box.pid_path()), pid);

    // The daemon runs under the sandbox root: SIGUSR1 writes the sandbox's status files.
    ASSERT_EQ(kill(pid, SIGUSR1), 0);
    ASSERT_TRUE(wait_for_file(box.path("/var/orvane/status_c"), seconds_from_now(15)))
        << read_file(run.log_path());
    EXPECT_EQ(read_file(box.path("/var/orvane/status_c")), "On-line  : No\nConnected: No\n");
    EXPECT_THAT(read_file(box.path("/var/orvane/status_f")),
                HasSubstr("User Module: orvane-module 1.4.2\r\n"));
    EXPECT_THAT(read_file(box.path("/var/orvane/status_s")), HasSubstr("E   Q   V   &D\r\n"));

    program_result stopped = run("stop");
    EXPECT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(stopped.out, "orvaned stopped\n");
    EXPECT_FALSE(path_exists(box.pid_path()));
    EXPECT_FALSE(path_exists(box.lock_path()));
    EXPECT_EQ(reap(pid, seconds_from_now(10)), 0);

    program_result after = run("status");
    EXPECT_EQ(after.status, 3);
    EXPECT_EQ(after.out, "orvaned is stopped\n");
    program_result stop_again = run("stop");
    EXPECT_EQ(stop_again.status, 0);
    EXPECT_EQ(stop_again.out, "orvaned is not running\n");
  }
}

TEST_F(InitScript, RestartRunsANewDaemon) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  init_script_run run(shells_here().front(), box);
  ASSERT_EQ(run("start").status, 0) << read_file(run.log_path());
  int first = pid_in(box.pid_path());
  program_result restarted = run("restart");
  EXPECT_EQ(restarted.status, 0) << restarted.err << read_file(run.log_path());
  int second = pid_in(box.pid_path());
  EXPECT_THAT(restarted.out, MatchesRegex("orvaned stopped\norvaned started \\(pid [0-9]+\\)\n"));
  EXPECT_NE(second, first);
  EXPECT_GT(second, 0);
  EXPECT_EQ(reap(first, seconds_from_now(10)), 0);
  EXPECT_EQ(run("stop").status, 0);
  EXPECT_EQ(reap(second, seconds_from_now(10)), 0);
}

// A stale pid file (its process is gone) neither blocks nor delays the start.
TEST_F(InitScript, StalePidFileIsReplaced) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  pid_t gone = fork();
  if (gone == 0) _exit(0);
  ASSERT_GT(gone, 0);
  ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
  write_file(box.pid_path(), std::to_string(gone) + "\n");
  init_script_run run(shells_here().front(), box);

  program_result status = run("status");
  EXPECT_EQ(status.status, 3);
  program_result started = run("start");
  EXPECT_EQ(started.status, 0) << started.err << read_file(run.log_path());
  int pid = pid_in(box.pid_path());
  EXPECT_NE(pid, gone);
  EXPECT_EQ(run("stop").status, 0);
  EXPECT_EQ(reap(pid, seconds_from_now(10)), 0);
}

// A daemon that cannot start (here: its settings script has an error) is reported as such.
TEST_F(InitScript, FailedStartIsReported) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  box.set("MOD_ORVANE_CFG_SCRIPT", base64_of("X:y\n"));
  init_script_run run(shells_here().front(), box);
  program_result started = run("start");
  EXPECT_EQ(started.status, 1);
  EXPECT_EQ(started.err, "orvaned failed to start; see the system log\n");
  EXPECT_FALSE(path_exists(box.pid_path()));
  EXPECT_THAT(read_file(run.log_path()), HasSubstr("error at line 1 in configuration script"));
  EXPECT_EQ(run("status").status, 3);
}

TEST_F(InitScript, UnknownActionShowsUsage) {
  sandbox box;
  init_script_run run(shells_here().front(), box);
  program_result r = run("reload");
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("usage:"));
  EXPECT_THAT(r.err, HasSubstr("{start|stop|restart|status}"));
}

}  // namespace
