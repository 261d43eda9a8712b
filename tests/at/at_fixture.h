// Shared fixture of the AT interpreter tests: a modem_state whose serial line is one end of a
// socketpair (the test reads the other end as the DTE would), settings as a freshly configured
// modem has them, paths inside a temporary directory and a captured log.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

#include "at/line_editor.h"
#include "at/sreg_table.h"
#include "modem/modem_state.h"
#include "platform/log.h"
#include "platform/unique_fd.h"
#include "test_support.h"

class at_fixture : public ::testing::Test {
 protected:
  void SetUp() override { make_state(); }
  void TearDown() override { log_set_threshold(nullptr); }

  // A fresh modem_state (E1 Q0 V1 &D2, S2=43 S3=13 S4=10 S5=8 S6=2 S7=30 S11=100 S12=50) on a
  // fresh socketpair; the previous one is dropped.
  void make_state() {
    log_set_threshold(nullptr);
    ms = std::make_unique<modem_state>();
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ms->serial_fd.reset(fds[0]);
    dte.reset(fds[1]);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    ms->settings = sample_modem_settings();
    modem_settings& s = ms->settings;
    s.sysloglev = 8;
    s.port = 2323;
    s.baudrate = 9600;
    ms->paths.settings = dir.file("settings");
    ms->paths.router_version = dir.file("router_version");
    ms->paths.module_version = dir.file("module_version");
    recompute_timers(*ms);
    log_set_threshold(&ms->settings.sysloglev);
    log.clear();
  }

  // Everything written to the serial line so far.
  std::string drain() {
    std::string out;
    char buf[4096];
    for (;;) {
      ssize_t n = read(dte.get(), buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  // Feeds the bytes to the line editor one by one; returns what the modem wrote meanwhile.
  std::string type(std::string_view bytes) {
    for (char c : bytes) editor_input(*ms, static_cast<unsigned char>(c));
    return drain();
  }

  // Types `line` and CR; returns what the modem wrote after the echo of the line (the echo, when
  // on, is checked here).
  std::string run(const std::string& line) {
    bool echo = ms->settings.stat_echo != 0;
    std::string out = type(line + "\r");
    if (!echo) return out;
    std::string expected_echo = line + "\r\n";
    EXPECT_EQ(out.substr(0, expected_echo.size()), expected_echo) << "line " << line;
    return out.size() >= expected_echo.size() ? out.substr(expected_echo.size()) : "";
  }

  void add_subst(int type, const std::string& pattern, const std::string& replacement) {
    substitution& entry = ms->subst_table[static_cast<size_t>(ms->subst_count++)];
    entry.type = type;
    entry.pattern = pattern;
    entry.replacement = replacement;
    // As the loader parses a rule's target (a rule it would refuse keeps none).
    std::string problem;
    entry.target = dial_target{};
    if (type == SUBST_DIAL &&
        dial_target_parse(replacement, entry.target, problem) != TARGET_PARSED) {
      entry.target = dial_target{};
    }
  }

  std::string line() const { return ms->cmd_line.data(); }

  temp_dir dir;
  log_capture log;
  std::unique_ptr<modem_state> ms;
  unique_fd dte;
};
