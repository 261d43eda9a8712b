// Handshakes in the simulated world: incoming ones that stall, fail or crowd the slots are turned
// away on time without a RING; an outgoing one counts under S7; an answered call runs inside
// the session and ends on a DTR drop, or when its peer makes the session answer and reads
// nothing for the keepalive's span.
#include "core/handshakes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/subst_script.h"
#include "loop_fixture.h"
#include "sim/sim_tls_peer.h"

#if ORVANED_HAVE_TLS
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

class Handshakes : public testing::Test {
 protected:
  void SetUp() override {
    if (!tls_built_in()) GTEST_SKIP() << "built without TLS";
    ASSERT_TRUE(make_tls_certificates(certs_.path()));
    f_.ms().tls = load("r1");
    peer_ctx_ = load("r2");
    f_.ms().tls_listen_sock.reset(f_.world().open_listener(2443));
  }
  tls_context load(const std::string& name) {
    tls_context ctx;
    std::string problem;
    EXPECT_EQ(tls_context_load(ctx, certs_.file(name + ".pem").c_str(),
                               certs_.file(name + ".key").c_str(), certs_.file("ca.pem").c_str(),
                               problem),
              TLS_FILE_NONE);
    return ctx;
  }
  temp_dir certs_;
  loop_fixture f_;
  tls_context peer_ctx_;
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
}

// Ten silent connections from the caller's own address, each opened again as soon as it is
// ended, keep no one out: a newcomer takes the place of the oldest silent one, never of a
// handshake that progresses, even one that takes its time; and they are taken at a bounded rate.
TEST_F(Handshakes, SilentCrowdKeepsNoCallerOut) {
  log_capture log;
  std::vector<std::shared_ptr<sim_conn>> silent(10);
  int opened = 0;
  auto crowd = [&] {
    for (auto& c : silent) {
      if ((c == nullptr || c->closed) && opened < 1000) c = f_.call_in(), ++opened;
    }
  };
  f_.run_until([&] { return crowd(), false; }, 100 * MSEC);
  sim_tls_peer caller(peer_ctx_, f_.call_in());
  int64_t next_pump = f_.now();
  auto rings = [&] {
    crowd();
    if (f_.now() >= next_pump) next_pump = f_.now() + 300 * MSEC, caller.pump();
    return f_.ms().call_state == CALL_RINGING;
  };
  EXPECT_TRUE(f_.run_until(rings, 2 * SEC));
  EXPECT_EQ(f_.dte_read(), "RING\r\n");
  EXPECT_TRUE(
      log.has(5, "TCP connection from 127.0.0.1 refused: no progress, replaced by a newer caller"));
  EXPECT_LE(opened, 10 + static_cast<int>(f_.now() / (10 * MSEC)));
}

// S7 counts the outgoing handshake with the connection.
TEST_F(Handshakes, OutgoingHandshakeEndsWithS7) {
  f_.configure([](modem_settings& s) {
    s.sreg_conn_tout = 5;
    s.tls_cert = "set";
  });
  ASSERT_EQ(subst_add_line(f_.ms().subst_table, f_.ms().subst_count, "D1:TLS:127000000001", 1),
            SUBST_ACCEPTED);
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

// An answered encrypted call: the answer byte and data cross inside the session; another host's
// completed handshake meanwhile is rejected as busy and changes nothing; a DTR drop (&D2) ends
// the call with a TLS close.
TEST_F(Handshakes, EncryptedCallAnswersIgnoresABusyCallerAndEndsOnDtrDrop) {
  f_.configure([](modem_settings& s) { s.stat_dtr_action = 2; });
  log_capture log;
  auto caller = std::make_unique<sim_tls_peer>(peer_ctx_, f_.call_in("127.0.0.1"));
  ASSERT_TRUE(
      f_.run_until([&] { return caller->pump() && f_.ms().call_state == CALL_RINGING; }, SEC));
  EXPECT_EQ(f_.dte_read(), "RING\r\n");
  f_.type_line("ATA");
  ASSERT_TRUE(f_.run_until([&] {
    caller->pump();
    return caller->take() == "X";
  }));
  EXPECT_EQ(f_.ms().call_state, CALL_CONNECTED);
  EXPECT_TRUE(caller->send("to the DTE"));
  ASSERT_TRUE(
      f_.run_until([&] { return f_.dte().from_daemon.find("to the DTE") != std::string::npos; }));
  f_.dte_read();
  auto busy = std::make_unique<sim_tls_peer>(peer_ctx_, f_.call_in("127.0.0.2"));
  ASSERT_TRUE(f_.run_until([&] {
    busy->pump();
    return busy->ended();
  }));
  EXPECT_TRUE(log.has(5, "TCP connection from 127.0.0.2 rejected"));
  EXPECT_EQ(f_.ms().ring_count, 1u);
  f_.dte_write("to the caller");
  ASSERT_TRUE(f_.run_until([&] {
    caller->pump();
    return caller->take() == "to the caller";
  }));
  f_.world().dte_dtr = false;
  ASSERT_TRUE(f_.run_until([&] {
    caller->pump();
    return caller->ended();
  }));
  EXPECT_EQ(f_.dte_read(), "NO CARRIER\r\n");
}

#if ORVANED_HAVE_TLS
// A caller that requests key update after key update and reads nothing (its connection takes no
// more): the daemon's session holds its answers up to the bound and reads no more, and the call
// ends once that has lasted the keepalive's span, though the peer's kernel acknowledges all.
TEST_F(Handshakes, PeerThatMakesTheSessionAnswerAndReadsNothingLosesTheCallAfterTheSpan) {
  f_.configure([](modem_settings& s) {
    s.keepalive = 1;
    s.keepalive_time = 5;
    s.keepalive_intvl = 2;
    s.keepalive_probes = 2;  // a span of 9 s
  });
  auto conn = f_.call_in();
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  unique_fd mine(fds[0]), wire(fds[1]);
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_use_certificate_file(ctx, certs_.file("r2.pem").c_str(), SSL_FILETYPE_PEM);
  SSL_CTX_use_PrivateKey_file(ctx, certs_.file("r2.key").c_str(), SSL_FILETYPE_PEM);
  SSL* peer = SSL_new(ctx);
  SSL_set_fd(peer, mine.get());
  SSL_set_connect_state(peer);
  char buf[4096];
  auto pump = [&] {  // the session's bytes to the daemon and the daemon's to the session
    const system_calls* sim = use_system_calls(nullptr);
    std::string out = conn->take();
    if (!out.empty()) {
      EXPECT_EQ(write(wire.get(), out.data(), out.size()), ssize_t(out.size()));
    }
    SSL_do_handshake(peer);
    ssize_t n;
    while ((n = read(wire.get(), buf, sizeof buf)) > 0) conn->send(std::string(buf, size_t(n)));
    use_system_calls(sim);
  };
  ASSERT_TRUE(f_.run_until([&] { return pump(), f_.ms().call_state == CALL_RINGING; }, SEC));
  f_.type_line("ATA");
  ASSERT_TRUE(f_.run_until([&] {
    pump();
    const system_calls* sim = use_system_calls(nullptr);
    int n = SSL_read(peer, buf, 1);
    use_system_calls(sim);
    return n == 1 && buf[0] == 'X';
  }));
  conn->room = 0;  // the caller reads nothing more
  auto request = [&] {
    const system_calls* sim = use_system_calls(nullptr);
    for (int i = 0; i < 200; ++i) {
      if (SSL_key_update(peer, SSL_KEY_UPDATE_REQUESTED) != 1 || SSL_do_handshake(peer) != 1) {
        break;
      }
    }
    use_system_calls(sim);
    pump();
    return (f_.ls().link.watched & LINK_FULL) != 0;
  };
  ASSERT_TRUE(f_.run_until(request, 5 * SEC));
  int64_t full_at = f_.now();
  f_.run_for(9 * SEC - 100 * MSEC);
  EXPECT_EQ(f_.ms().call_state, CALL_CONNECTED);
  ASSERT_TRUE(f_.run_until([&] { return f_.ms().call_state == CALL_IDLE; }, SEC));
  EXPECT_LE(f_.now() - full_at, 9 * SEC + 100 * MSEC);
  EXPECT_NE(f_.dte_read().find("NO CARRIER\r\n"), std::string::npos);
  SSL_free(peer);
  SSL_CTX_free(ctx);
}
#endif

}  // namespace
