#include "platform/system_io.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <string>

#include "platform/system_calls.h"
#include "platform/unique_fd.h"
#include "test_support.h"

namespace {

void ignore_alarm(int) {}

// Saves the actions of the signals a test changes and restores them afterwards.
struct saved_signal_actions {
  static constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGPIPE, SIGHUP, SIGALRM};
  struct sigaction saved[std::size(SIGNALS)];
  saved_signal_actions() {
    for (size_t i = 0; i < std::size(SIGNALS); ++i) sigaction(SIGNALS[i], nullptr, &saved[i]);
  }
  ~saved_signal_actions() {
    for (size_t i = 0; i < std::size(SIGNALS); ++i) sigaction(SIGNALS[i], &saved[i], nullptr);
  }
};

// Delivers SIGALRM once after `ms` milliseconds.
void alarm_after_ms(long ms) {
  itimerval timer{};
  timer.it_value.tv_sec = ms / 1000;
  timer.it_value.tv_usec = (ms % 1000) * 1000;
  setitimer(ITIMER_REAL, &timer, nullptr);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST(SystemIo, WaitReadyReportsReadinessTimeoutAndInterruption) {
  saved_signal_actions saved;
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  unique_fd rd(p[0]), wr(p[1]);

  fd_set read_set;
  FD_ZERO(&read_set);
  FD_SET(rd.get(), &read_set);
  timeval timeout{0, 10000};
  EXPECT_EQ(wait_ready(rd.get() + 1, &read_set, nullptr, &timeout), 0);

  ASSERT_EQ(fd_write(wr.get(), "ab", 2), 2);
  FD_ZERO(&read_set);
  FD_SET(rd.get(), &read_set);
  fd_set write_set;
  FD_ZERO(&write_set);
  FD_SET(wr.get(), &write_set);
  timeout = {5, 0};
  int nfds = std::max(rd.get(), wr.get()) + 1;
  EXPECT_EQ(wait_ready(nfds, &read_set, &write_set, &timeout), 2);
  EXPECT_TRUE(FD_ISSET(rd.get(), &read_set));
  EXPECT_TRUE(FD_ISSET(wr.get(), &write_set));
  char buf[4];
  EXPECT_EQ(fd_read(rd.get(), buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "ab");

  // A signal handled during the wait ends it with EINTR; it is not retried.
  signal(SIGALRM, ignore_alarm);
  FD_ZERO(&read_set);
  FD_SET(rd.get(), &read_set);
  timeout = {30, 0};
  auto start = std::chrono::steady_clock::now();
  alarm_after_ms(50);
  EXPECT_EQ(wait_ready(rd.get() + 1, &read_set, nullptr, &timeout), -1);
  EXPECT_EQ(errno, EINTR);
  EXPECT_LT(seconds_since(start), 20.0);
}

TEST(SystemIo, SleepMillisecondsOutlastsSignals) {
  saved_signal_actions saved;
  signal(SIGALRM, ignore_alarm);
  auto start = std::chrono::steady_clock::now();
  alarm_after_ms(20);
  sleep_milliseconds(200);
  EXPECT_GE(seconds_since(start), 0.2);
}

// A signal cuts the pause in whole seconds short, so that a signal that ends the daemon is seen
// at once.
TEST(SystemIo, SleepSecondsEndsAtASignal) {
  saved_signal_actions saved;
  signal(SIGALRM, ignore_alarm);
  auto start = std::chrono::steady_clock::now();
  alarm_after_ms(20);
  sleep_seconds(30);
  double slept = seconds_since(start);
  EXPECT_GE(slept, 0.019);  // the timer never fires early
  EXPECT_LT(slept, 20.0);
}

TEST(SystemIo, DescriptorCalls) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  EXPECT_EQ(fd_write(p[1], "xyz", 3), 3);
  char buf[8];
  EXPECT_EQ(fd_read(p[0], buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "xy");
  EXPECT_EQ(close(p[1]), 0);
  EXPECT_EQ(fd_read(p[0], buf, sizeof buf), 1);
  EXPECT_EQ(fd_read(p[0], buf, sizeof buf), 0);
  EXPECT_EQ(close(p[0]), 0);
  EXPECT_EQ(fd_read(-1, buf, 1), -1);
  EXPECT_EQ(fd_write(-1, buf, 1), -1);
}

TEST(SystemIo, StartSessionMakesTheCallerALeader) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    kernel_system_calls.new_session();
    bool leader = getsid(0) == getpid();
    kernel_system_calls.new_session();  // already a leader: ignored
    _exit(leader && getsid(0) == getpid() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
