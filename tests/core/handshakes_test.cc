// Encrypted callers in the simulated world: handshakes that stall, fail or crowd the slots are
// turned away on time, without a RING and without touching S1.
#include "core/handshakes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// The limit counts from each caller's accept; what a caller does decides when it goes.
TEST_F(Handshakes, FailedAndStalledCallersAreTurnedAwayOnTime) {
  struct {
    const char* what;
    std::string sends;
    bool closes;
    int64_t gone_after;  // µs after its connect
    const char* reason;  // of "TCP connection from 127.0.0.1 refused: %s"
  } cases[] = {
      {"silent", "", false, HANDSHAKE_LIMIT_SEC * SEC, "timeout"},
      {"half a hello", std::string("\x16\x03\x01\x02\x00", 5), false, HANDSHAKE_LIMIT_SEC * SEC,
       "timeout"},
      {"hangs up", "", true, 0, "peer hung up"},
      {"not TLS", "GET / HTTP/1.0\r\n\r\n", false, 0, "http request"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    log_capture log;
    int64_t start = f_.now();
    auto caller = f_.call_in();
    caller->send(c.sends);
    if (c.closes) caller->close();
    if (c.gone_after > 0) {
      f_.run_for(c.gone_after - 1);
      EXPECT_FALSE(caller->closed);
    }
    EXPECT_TRUE(f_.run_until([&] { return caller->closed; }, 2 * SEC));
    EXPECT_LE(f_.now() - start, c.gone_after + 10 * MSEC);
    if (c.reason != nullptr) {
      EXPECT_TRUE(log.has(5, std::string("TCP connection from 127.0.0.1 refused: ") + c.reason))
          << testing::PrintToString(log.texts());
    }
    EXPECT_EQ(f_.dte_read(), "");
    EXPECT_EQ(f_.ms().ring_count, 0u);
    EXPECT_EQ(f_.ms().call_state, CALL_IDLE);
  }
}

// Callers that stall fill the slots; one more is refused at once, and once the stalled ones have
// been ended a new caller gets a slot.
TEST_F(Handshakes, StalledCallersHoldNoSlotPastTheLimit) {
  log_capture log;
  std::vector<std::shared_ptr<sim_conn>> stalled;
  for (int i = 0; i < HANDSHAKES_MAX; ++i) stalled.push_back(f_.call_in());
  f_.pass();
  auto extra = f_.call_in();
  EXPECT_TRUE(f_.run_until([&] { return extra->closed; }, SEC));
  EXPECT_TRUE(log.has(5, "TCP connection from 127.0.0.1 refused: too many handshakes"));
  for (const auto& s : stalled) EXPECT_FALSE(s->closed);
  f_.run_for(HANDSHAKE_LIMIT_SEC * SEC);
  for (const auto& s : stalled) EXPECT_TRUE(s->closed);
  auto next = f_.call_in();
  f_.run_for(HANDSHAKE_LIMIT_SEC * SEC - SEC);
  EXPECT_FALSE(next->closed);
}

}  // namespace
