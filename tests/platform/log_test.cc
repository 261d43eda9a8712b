#include "platform/log.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

struct scoped_threshold {
  uint32_t value;
  explicit scoped_threshold(uint32_t v) : value(v) { log_set_threshold(&value); }
  ~scoped_threshold() { log_set_threshold(nullptr); }
};

void discard(int, const char*) {}

// Runs the logging calls below in a child whose stderr is a pipe, with ORVANED_LOG_STDERR set
// to `mirror` (unset when nullptr), and returns what the child wrote to stderr.
std::string stderr_of_logging_child(const char* mirror) {
  int p[2];
  if (pipe(p) != 0) return "pipe failed";
  pid_t child = fork();
  if (child < 0) return "fork failed";
  if (child == 0) {
    close(p[0]);
    dup2(p[1], STDERR_FILENO);
    close(p[1]);
    if (mirror != nullptr) {
      setenv("ORVANED_LOG_STDERR", mirror, 1);
    } else {
      unsetenv("ORVANED_LOG_STDERR");
    }
    log_open("/usr/sbin/orvaned");
    log_set_sink(discard);  // keep the test's messages out of the system log
    uint32_t level = 8;
    log_set_threshold(&level);
    log_msg(3, "error %d", 1);
    log_msg(6, "call %s", "up");
    log_msg(8, "trace");
    log_direct(3, "direct");
    level = 5;
    log_msg(6, "filtered");
    log_direct(6, "direct info");
    log_msg(3, "%s", std::string(2000, 'a').c_str());
    _exit(0);
  }
  close(p[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += "[child failed]";
  return out;
}

}  // namespace

TEST(Log, ThresholdFiltersLogMsgOnly) {
  struct {
    uint32_t threshold;
    std::vector<std::string> passed;
  } cases[] = {
      {6, {"l3", "l5", "l6", "direct"}},
      {8, {"l3", "l5", "l6", "l7", "l8", "direct"}},
      {9, {"l3", "l5", "l6", "l7", "l8", "direct"}},
      {3, {"l3", "direct"}},
      {2, {"direct"}},
      {0, {"direct"}},
      {0x80000000u, {"direct"}},
      {0xffffffffu, {"direct"}},
  };
  for (const auto& c : cases) {
    scoped_threshold threshold(c.threshold);
    log_capture log;
    for (int level : {3, 5, 6, 7, 8}) log_msg(level, "l%d", level);
    log_direct(3, "direct");
    EXPECT_EQ(log.texts(), c.passed) << "threshold " << c.threshold;
  }
}

TEST(Log, ThresholdIsReadAtEachCall) {
  uint32_t level = 0;
  log_set_threshold(&level);
  log_capture log;
  log_msg(5, "before");
  level = 5;  // a reload of the settings
  log_msg(5, "after");
  log_set_threshold(nullptr);
  log_msg(3, "unbound");
  EXPECT_EQ(log.texts(), std::vector<std::string>{"after"});
}

TEST(Log, SinkGetsTheLevelAsSubmittedAndTheFormattedText) {
  scoped_threshold threshold(8);
  log_capture log;
  log_msg(8, "AT%s S%d=%u", "S7", 7, 60u);
  log_msg(7, "bad %c", 'x');
  log_direct(5, "started");
  ASSERT_EQ(log.lines().size(), 3u);
  EXPECT_EQ(log.lines()[0], (std::pair<int, std::string>{8, "ATS7 S7=60"}));
  EXPECT_EQ(log.lines()[1], (std::pair<int, std::string>{7, "bad x"}));
  EXPECT_EQ(log.lines()[2], (std::pair<int, std::string>{5, "started"}));
}

TEST(Log, SetSinkReturnsThePreviousOne) {
  log_sink original = log_set_sink(discard);
  EXPECT_EQ(log_set_sink(original), discard);
}

TEST(Log, StderrMirrorCarriesTheSyslogSeverity) {
  std::string expected = "<3>error 1\n<6>call up\n<7>trace\n<3>direct\n<6>direct info\n<3>" +
                         std::string(1023, 'a') + "\n";
  EXPECT_EQ(stderr_of_logging_child("1"), expected);
  EXPECT_EQ(stderr_of_logging_child("yes"), expected);
}

TEST(Log, NoStderrMirrorUnlessAsked) {
  EXPECT_EQ(stderr_of_logging_child(nullptr), "");
  EXPECT_EQ(stderr_of_logging_child(""), "");
}
