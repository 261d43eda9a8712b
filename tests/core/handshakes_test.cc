// Handshakes in the simulated world: incoming ones that stall, fail or crowd the slots are turned
// away on time without a RING; an outgoing one counts under S7.
#include "core/handshakes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/subst_script.h"
#include "loop_fixture.h"

namespace {

class Handshakes : public testing::Test {
 protected:
  void SetUp() override {
    if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
    ASSERT_TRUE(make_tls_certificates(certs_.path()));
    std::string problem;
    ASSERT_EQ(
        tls_context_load(f_.ms().tls, certs_.file("r1.pem").c_str(), certs_.file("r1.key").c_str(),
                         certs_.file("ca.pem").c_str(), problem),
        TLS_FILE_NONE);
    f_.ms().tls_listen_sock.reset(f_.world().open_listener(2443));
  }
  temp_dir certs_;
  loop_fixture f_;
};

TEST_F(Handshakes, CallersThatFailOrStallAreTurnedAwayOnTime) {
  struct {
    std::string sends;
    bool closes;
    int64_t gone_after;  // µs after the connect
    const char* reason;
  } cases[] = {
      {"", false, HANDSHAKE_LIMIT_SEC * SEC, "timeout"},
      {std::string("\x16\x03\x01\x02\x00", 5), false, HANDSHAKE_LIMIT_SEC * SEC, "timeout"},
      {"", true, 0, "peer hung up"},
      {"GET / HTTP/1.0\r\n\r\n", false, 0, "http request"},
  };
  for (const auto& c : cases) {
    log_capture log;
    int64_t start = f_.now();
    auto caller = f_.call_in();
    caller->send(c.sends);
    if (c.closes) caller->close();
    EXPECT_TRUE(f_.run_until([&] { return caller->closed; }, 2 * SEC + c.gone_after));
    EXPECT_GE(f_.now() - start, c.gone_after) << c.reason;
    EXPECT_LE(f_.now() - start, c.gone_after + 10 * MSEC);
    EXPECT_TRUE(log.has(5, std::string("TCP connection from 127.0.0.1 refused: ") + c.reason));
    EXPECT_EQ(f_.dte_read(), "");
    EXPECT_EQ(f_.ms().ring_count, 0u);
  }
  // Four callers that stall fill the slots: a fifth is refused at once, until they are gone.
  std::vector<std::shared_ptr<sim_conn>> stalled;
  for (int i = 0; i <= HANDSHAKES_MAX; ++i) stalled.push_back(f_.call_in());
  EXPECT_TRUE(f_.run_until([&] { return stalled.back()->closed; }, SEC));
  f_.run_for(HANDSHAKE_LIMIT_SEC * SEC - 2 * SEC);
  EXPECT_FALSE(stalled.front()->closed);
  f_.run_for(3 * SEC);
  EXPECT_TRUE(stalled.front()->closed);
  auto next = f_.call_in();
  f_.run_for(SEC);
  EXPECT_FALSE(next->closed);
}

// S7 counts the outgoing handshake with the connection.
TEST_F(Handshakes, OutgoingHandshakeEndsWithS7) {
  f_.configure([](modem_settings& s) {
    s.sreg_conn_tout = 5;
    s.tls_cert = "set";
  });
  f_.ms().subst_table[0] = {.type = SUBST_DIAL, .pattern = "1", .replacement = "TLS:127000000001"};
  f_.ms().subst_count = 1;
  log_capture log;
  f_.type_line("ATD1");
  f_.pass();
  auto callee = f_.last_dial();
  ASSERT_NE(callee, nullptr);
  sim_world::finish_connect(*callee, 0);
  ASSERT_TRUE(f_.run_until([&] { return !callee->from_daemon.empty(); }, SEC));  // its hello
  f_.run_for(5 * SEC - f_.now() - 1);
  EXPECT_FALSE(callee->closed);
  ASSERT_TRUE(f_.run_until([&] { return f_.ms().call_state == CALL_IDLE; }, 50 * MSEC));
  EXPECT_EQ(f_.dte_read(), "ATD1\r\nNO ANSWER\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: timeout"));
  EXPECT_TRUE(callee->closed);
}

}  // namespace
