// The daemon's command line and what a person who starts it by hand sees: usage, version, a
// refused argument, and the reason start-up ended on a terminal.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e/daemon_harness.h"
#include "tools/run_program.h"

namespace {

using testing::HasSubstr;
using testing::StartsWith;

// Nothing is touched: no log line (each would be copied to stderr), no pid file.
TEST(DaemonCommandLine, HelpVersionAndRefusedArguments) {
  const std::string usage = "USAGE";  // stands for the usage text
  struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {
      {{"--help"}, 0, usage, ""}, {{"--version"}, 0, ORVANED_VERSION "\n", ""},
      {{"-h"}, 2, "", usage},     {{"--help", "x"}, 2, "", usage},
      {{""}, 2, "", usage},
  };
  for (const auto& c : cases) {
    temp_dir root;
    std::filesystem::create_directories(root.file("var/run"));
    std::vector<std::string> argv = {ORVANED_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    program_result r = run_program(argv, {"ORVANED_ROOT=" + root.path(), "ORVANED_LOG_STDERR=1"});
    std::string what = c.args[0];
    EXPECT_EQ(r.status, c.status) << what;
    for (auto [want, got] : {std::pair{c.out, r.out}, std::pair{c.err, r.err}}) {
      if (want != usage) {
        EXPECT_EQ(got, want) << what;
        continue;
      }
      EXPECT_THAT(got, StartsWith("usage: orvaned [--help | --version]\n")) << what;
      EXPECT_THAT(got, HasSubstr("ORVANED_ROOT")) << what;
      EXPECT_THAT(got, HasSubstr("ORVANED_LOG_STDERR")) << what;
      EXPECT_THAT(got, HasSubstr("/opt/orvane/etc/settings")) << what;
    }
    EXPECT_FALSE(path_exists(root.file("var/run/orvaned.pid"))) << what;
  }
}

// The reason start-up ended reaches a terminal on stderr, whatever the log threshold; stderr
// that is not a terminal (a service's) gets nothing.
TEST(DaemonCommandLine, TerminalSeesWhyStartupEnded) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::string slave_name = ptsname(master);
  int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);  // kept open: the master reads on
  ASSERT_GE(slave, 0);
  ASSERT_EQ(fcntl(master, F_SETFL, O_NONBLOCK), 0);
  const std::string reason = "orvaned: invalid serial device number 5 (0 or 1 expected)";
  struct {
    bool terminal;
    const char* sysloglev;
  } cases[] = {{true, "7"}, {true, "0"}, {false, "7"}};
  for (const auto& c : cases) {
    sandbox box;
    ASSERT_TRUE(box.ok());
    box.set("MOD_ORVANE_SERIAL", "5");
    box.set("MOD_ORVANE_SYSLOGLEV", c.sysloglev);
    std::string err_path = c.terminal ? slave_name : box.path("/stderr");
    program_result r =
        run_program({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", ORVANED_BINARY, err_path},
                    {"ORVANED_ROOT=" + box.root(), "ORVANED_LOG_STDERR"});
    EXPECT_EQ(r.status, 1);
    std::string seen;
    if (c.terminal) {
      // The pty hands the bytes on after a short while: wait for the line's end.
      pollfd p{.fd = master, .events = POLLIN, .revents = 0};
      while (seen.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1) {
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, static_cast<size_t>(n));
      }
      EXPECT_EQ(seen, reason + "\r\n") << c.sysloglev;
    } else {
      EXPECT_EQ(read_file(err_path), "");
    }
  }
  close(slave);
  close(master);
}

}  // namespace
