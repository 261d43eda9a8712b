// The daemon's command line, and what a person who starts it by hand sees.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "e2e/daemon_harness.h"
#include "tools/run_program.h"

namespace {

// Nothing is touched: no log line (each would be copied to stderr), no pid file.
TEST(DaemonCommandLine, HelpVersionAndRefusedArguments) {
  const std::string usage =
      "usage: orvaned [--help | --version | --status]\n";  // the usage's first line
  struct {
    std::vector<std::string> args;
    int status;
    std::string out, err;
  } cases[] = {{{"--help"}, 0, usage, ""},
               {{"--version"}, 0, ORVANED_VERSION "\n", ""},
               {{"-h"}, 2, "", "orvaned: unknown option \"-h\"\n" + usage},
               {{"--help", "x"}, 2, "", "orvaned: --help takes no argument (\"x\")\n" + usage},
               {{""}, 2, "", "orvaned: unknown option \"\"\n" + usage}};
  for (const auto& c : cases) {
    temp_dir root;
    std::filesystem::create_directories(root.file("var/run"));
    std::vector<std::string> argv = {ORVANED_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    program_result r = run_program(argv, {"ORVANED_ROOT=" + root.path(), "ORVANED_LOG_STDERR=1"});
    EXPECT_EQ(r.status, c.status) << c.args[0];
    for (auto [want, got] : {std::pair{c.out, r.out}, std::pair{c.err, r.err}}) {
      // The usage in full: its first line and the environment it names.
      bool is_usage =
          want.ends_with(usage) && got.starts_with(want) && got.find("ORVANED_ROOT") != got.npos;
      EXPECT_TRUE(want.ends_with(usage) ? is_usage : got == want) << c.args[0] << ": " << got;
    }
    EXPECT_FALSE(path_exists(root.file("var/run/orvaned.pid"))) << c.args[0];
  }
}

// The reason start-up ended reaches a terminal on stderr, whatever the log threshold; stderr
// that is not a terminal (a service's) gets nothing.
TEST(DaemonCommandLine, TerminalSeesWhyStartupEnded) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
  std::string slave_name = ptsname(master);
  int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);  // kept open: the master reads on
  for (auto [terminal, sysloglev] : {std::pair{true, "7"}, {true, "0"}, {false, "7"}}) {
    sandbox box;
    box.set("MOD_ORVANE_SERIAL", "5");
    box.set("MOD_ORVANE_SYSLOGLEV", sysloglev);
    std::string err_path = terminal ? slave_name : box.path("/stderr");
    program_result r =
        run_program({"/bin/sh", "-c", "exec \"$0\" 2>\"$1\"", ORVANED_BINARY, err_path},
                    {"ORVANED_ROOT=" + box.root(), "ORVANED_LOG_STDERR"});
    EXPECT_EQ(r.status, 1);
    if (!terminal) {
      EXPECT_EQ(read_file(err_path), "");
      continue;
    }
    std::string seen(256, '\0');
    pollfd p{.fd = master, .events = POLLIN, .revents = 0};
    ssize_t n = poll(&p, 1, 10000) == 1 ? read(master, seen.data(), seen.size()) : 0;
    seen.resize(n > 0 ? static_cast<size_t>(n) : 0);
    EXPECT_EQ(seen, "orvaned: invalid serial device number 5 (0 or 1 expected)\r\n") << sysloglev;
  }
  close(slave);
  close(master);
}

}  // namespace
