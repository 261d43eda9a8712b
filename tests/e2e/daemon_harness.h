// Harness for driving the built daemon: a sandbox root with settings, version files and a pty as
// the serial device, and a running daemon process whose stderr log mirror is collected.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "test_port.h"
#include "test_support.h"

using steady_deadline = std::chrono::steady_clock::time_point;

// The moment `seconds` from now: a deadline for something that must happen. The environment
// variable ORVANED_TEST_TIME_SCALE (a number above 1, e.g. 3 under an emulator) stretches every
// such deadline; the tests' own timing bounds and fixed waits stay as they are.
steady_deadline seconds_from_now(double seconds);

// True when this build's tests and the daemon they start run under a user-mode emulator (a
// cross build tested with qemu-user; ORVANED_TEST_EMULATOR set to nothing says they do not).
bool running_emulated();

// Seconds elapsed since `start`.
double seconds_since(std::chrono::steady_clock::time_point start);

// True when process `pid` owns a socket listening on TCP `port`.
bool process_listens_on(pid_t pid, int port);

// Standard base64 of `text` (the form the settings file stores the script in).
std::string base64_of(std::string_view text);

// One line of the daemon's stderr mirror, "<N>TEXT": severity N (-1 when the line has no such
// prefix) and the text.
struct log_line {
  int severity = -1;
  std::string text;
};
log_line parse_log_line(const std::string& raw);

// A temporary root with the daemon's directories, a settings file (rewritten whenever a key is
// changed), version files, a TCP port held for it (see test_port) and a pty whose slave is
// linked as DIR/dev/ttyS0. Both pty ends stay
// open in the test for the sandbox's life, so the master never reads EIO when the daemon closes.
class sandbox {
 public:
  sandbox();
  ~sandbox();
  sandbox(const sandbox&) = delete;
  sandbox& operator=(const sandbox&) = delete;

  // False when setting up failed (the reason is in error()).
  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  const std::string& root() const { return dir_.path(); }
  // root() + rel; rel starts with '/'.
  std::string path(const std::string& rel) const { return root() + rel; }
  std::string settings_path() const { return path("/opt/orvane/etc/settings"); }
  std::string pid_path() const { return path("/var/run/orvaned.pid"); }
  std::string lock_path() const { return path("/var/lock/LCK..ttyS0"); }
  std::string device_path() const { return path("/dev/ttyS0"); }
  std::string module_version_path() const { return path("/opt/orvane/etc/version"); }
  std::string router_version_path() const { return path("/etc/version"); }
  int port() const { return port_.number(); }

  // Sets (or adds) a settings key such as "MOD_ORVANE_SERIAL" and rewrites the settings file.
  void set(const std::string& key, const std::string& value);
  // Drops a key from the settings file.
  void unset(const std::string& key);
  void write_settings() const;

  // The pty: the master is the DTE's side; the slave is the device the daemon opens.
  int master_fd() const { return master_; }
  int slave_fd() const { return slave_; }
  const std::string& slave_name() const { return slave_name_; }
  // Removes DIR/dev/ttyS0, so the device is missing.
  void remove_device();

  // Serial line, DTE side.
  bool serial_write(std::string_view bytes);
  // Reads until `expected` has appeared in what was read, or until the deadline; returns
  // everything read.
  std::string serial_read_until(std::string_view expected, steady_deadline deadline);
  // Returns everything that arrives within `duration`.
  std::string serial_read_for(std::chrono::milliseconds duration);

 private:
  temp_dir dir_;
  std::string error_;
  std::vector<std::pair<std::string, std::string>> settings_;
  test_port port_;
  int master_ = -1;
  int slave_ = -1;
  std::string slave_name_;
};

// The daemon binary run under a sandbox with ORVANED_ROOT and ORVANED_LOG_STDERR=1. Its stderr is
// drained by a thread into a list of lines. The destructor kills (SIGKILL) and reaps a daemon
// that is still running.
class daemon_process {
 public:
  explicit daemon_process(sandbox& box);
  ~daemon_process();
  daemon_process(const daemon_process&) = delete;
  daemon_process& operator=(const daemon_process&) = delete;

  // Forks and executes the daemon. `before_exec`, when given, runs in the test with the child's
  // pid before the child executes the binary. Returns false when fork or pipe failed.
  bool start(const std::function<void(pid_t)>& before_exec = {});
  // Words that start() puts before the daemon's path: a program that executes the daemon in an
  // environment of its own (with the same process id). Empty by default.
  void set_launcher(std::vector<std::string> words) { launcher_ = std::move(words); }
  pid_t pid() const { return pid_; }

  // Running: the process owns a socket listening on the sandbox's port and has handlers for
  // SIGINT, SIGTERM, SIGQUIT and SIGUSR1 installed (under an emulator: has SIGPIPE ignored, see
  // handlers_installed). Fails early when the process exits.
  testing::AssertionResult wait_running(steady_deadline deadline);
  // One look at the two conditions of wait_running.
  bool listening() const;
  // The port that wait_running and listening() look at: the sandbox's unless set (a daemon that
  // takes encrypted calls only listens on its TLS port alone).
  void set_listen_port(int port) { listen_port_ = port; }
  bool handlers_installed() const;
  // The disposition of `sig` is "ignored" (SigIgn of /proc/<pid>/status).
  bool ignores_signal(int sig) const;

  // Waits for a log line with exactly this text (and this severity unless it is -1).
  testing::AssertionResult wait_log(const std::string& text, steady_deadline deadline,
                                    int severity = -1);
  testing::AssertionResult wait_log_if(const std::function<bool(const log_line&)>& match,
                                       steady_deadline deadline, const std::string& what);

  // Snapshot of the lines seen so far.
  std::vector<log_line> log() const;
  // The log as one text, for failure messages.
  std::string log_text() const;
  bool has_log(const std::string& text, int severity = -1) const;
  // Index of the first line with this text (and severity unless -1), or -1.
  int log_index(const std::string& text, int severity = -1) const;

  bool send_signal(int sig);
  // True while the process has not exited (reaps it when it has).
  bool alive();
  // Waits for the exit and returns the exit status; a death by signal returns 128 + signal.
  // On timeout the process is killed with SIGKILL, a failure is recorded and -1 returned.
  int wait_exit(steady_deadline deadline);

  bool serial_write(std::string_view bytes) { return box_.serial_write(bytes); }
  std::string serial_read_until(std::string_view expected, steady_deadline deadline) {
    return box_.serial_read_until(expected, deadline);
  }
  std::string serial_read_for(std::chrono::milliseconds duration) {
    return box_.serial_read_for(duration);
  }

 private:
  void drain(int fd);
  bool try_reap(int options);

  sandbox& box_;
  std::vector<std::string> launcher_;
  int listen_port_ = 0;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int wait_status_ = 0;
  std::thread drainer_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<log_line> lines_;
  bool stderr_closed_ = false;
};
