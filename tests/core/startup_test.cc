#include "core/startup.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <iterator>

namespace {

// Saves the actions of the signals a test changes and restores them afterwards.
struct saved_signal_actions {
  static constexpr int SIGNALS[] = {SIGINT, SIGTERM, SIGQUIT, SIGUSR1, SIGPIPE, SIGHUP};
  struct sigaction saved[std::size(SIGNALS)];
  saved_signal_actions() {
    for (size_t i = 0; i < std::size(SIGNALS); ++i) sigaction(SIGNALS[i], nullptr, &saved[i]);
  }
  ~saved_signal_actions() {
    for (size_t i = 0; i < std::size(SIGNALS); ++i) sigaction(SIGNALS[i], &saved[i], nullptr);
  }
};

}  // namespace

// The handlers stay installed after each delivery: a status request may come many times, and
// the first ending signal is the one kept.
TEST(Startup, SignalHandlersStayInstalledAndPipeIsIgnored) {
  saved_signal_actions saved;
  signal(SIGHUP, SIG_DFL);
  static modem_state ms;
  set_signal_target(&ms);
  install_signal_handlers();
  for (int round = 0; round < 2; ++round) {
    ms.status_request = 0;
    raise(SIGUSR1);
    EXPECT_EQ(ms.status_request, 1) << round;
  }
  EXPECT_EQ(ms.term_signal, 0);
  for (int sig : {SIGTERM, SIGINT, SIGQUIT, SIGTERM}) raise(sig);
  EXPECT_EQ(ms.term_signal, SIGTERM);
  ms.term_signal = 0;
  raise(SIGQUIT);
  EXPECT_EQ(ms.term_signal, SIGQUIT);
  ms.term_signal = 0;
  raise(SIGINT);
  EXPECT_EQ(ms.term_signal, SIGINT);
  set_signal_target(nullptr);

  struct sigaction action {};
  ASSERT_EQ(sigaction(SIGPIPE, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_IGN);
  ASSERT_EQ(sigaction(SIGHUP, nullptr, &action), 0);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
}
