// Data mode in the simulated world: forwarding, the forwarding delay (S11), the escape sequence
// and its guard time (S2, S12), inactivity (S10), the DTR watch (&D, S25) and the held-bytes
// rule, with the clock exact to the microsecond.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loop_fixture.h"

namespace {

TEST(DataMode, ForwardsBothWaysAndDiscardsPeerDataInCommandMode) {
  loop_fixture f;
  auto peer = f.connect_call();
  EXPECT_EQ(f.dte_read(), "CONNECT 115200\r\n");
  EXPECT_TRUE(f.world().modem_dtr);

  f.dte_write("hello peer");
  f.pass();
  EXPECT_EQ(peer->take(), "hello peer");
  peer->send("hello dte");
  f.pass();
  EXPECT_EQ(f.dte_read(), "hello dte");

  // Escape with a short guard, then peer data must not reach the DTE.
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  f.dte_write("+++");
  ASSERT_TRUE(f.run_until([&] { return f.ms().online == 0; }));
  EXPECT_EQ(f.dte_read(), "OK\r\n");
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  peer->send("lost in command mode");
  f.run_for(200 * MSEC);
  EXPECT_EQ(peer->to_daemon, "");  // read and thrown away
  EXPECT_EQ(f.dte_read(), "");

  // ATO resumes; data flows again and the discarded bytes never show up.
  f.type_line("ATO");
  f.pass();
  EXPECT_EQ(f.dte_read(), "ATO\r\nCONNECT 115200\r\n");
  peer->send("again");
  f.pass();
  EXPECT_EQ(f.dte_read(), "again");
}

// S11 = 100: the bytes go out 100 000 µs after the last one arrived, not a microsecond before.
TEST(DataMode, SplitTimerCountsFromTheLastByte) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.sreg_split = 100; });
  auto peer = f.connect_call();
  f.dte_read();
  for (char c : std::string("abcde")) {
    f.dte_write(std::string(1, c));
    f.run_for(20 * MSEC);
  }
  int64_t last_byte = f.now() - 20 * MSEC;
  EXPECT_EQ(peer->from_daemon, "");
  ASSERT_TRUE(f.run_until([&] { return !peer->from_daemon.empty(); }));
  EXPECT_EQ(f.now() - last_byte, 100 * MSEC);
  EXPECT_EQ(peer->take(), "abcde");

  // A full buffer goes out at once; the rest after the split time.
  std::string burst(2000, 'x');
  f.dte_write(burst);
  int64_t start = f.now();
  f.pass();
  EXPECT_EQ(peer->from_daemon.size(), 1024u);
  EXPECT_EQ(f.now(), start);
  ASSERT_TRUE(f.run_until([&] { return peer->from_daemon.size() == 2000; }));
  EXPECT_EQ(f.now() - start, 100 * MSEC);
  EXPECT_EQ(peer->take(), burst);
}

TEST(DataMode, EscapeWithoutGuardTime) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 0; });
  auto peer = f.connect_call();
  f.dte_read();

  // Three escape characters in one read: command mode in that pass, nothing sent.
  f.dte_write("data+++");
  f.pass();
  EXPECT_EQ(f.ms().online, 0);
  EXPECT_EQ(f.dte_read(), "OK\r\n");
  f.run_for(SEC);
  EXPECT_EQ(peer->take(), "");

  // One per read: the first two reach the peer before the third completes the count.
  f.type_line("ATO");
  f.pass();
  ASSERT_EQ(f.ms().online, 1);
  f.dte_read();
  std::string sent;
  for (int i = 0; i < 3; ++i) {
    f.dte_write("+");
    f.run_for(100 * MSEC);
    sent += peer->take();
  }
  EXPECT_EQ(sent, "++");
  EXPECT_EQ(f.ms().online, 0);
  EXPECT_EQ(f.dte_read(), "OK\r\n");
}

// S12 = 10: a guard of 200 000 µs after the last byte of the run.
TEST(DataMode, EscapeGuardCases) {
  struct step {
    const char* bytes;
    int64_t pause_after;
  };
  struct escape_case {
    const char* name;
    std::vector<step> steps;
    bool escapes;
  };
  const escape_case cases[] = {
      {"three with short gaps", {{"+", 50 * MSEC}, {"+", 50 * MSEC}, {"+", 0}}, true},
      {"data then three in one read", {{"abc+++", 0}}, true},
      {"another byte after three", {{"+++", 199999}, {"x", 0}}, false},
      {"four", {{"++++", 0}}, false},
      {"pause of the guard time inside the run", {{"+", 200 * MSEC}, {"++", 0}}, false},
      {"pause just under the guard time inside the run", {{"+", 199999}, {"++", 0}}, true},
  };
  for (const escape_case& c : cases) {
    SCOPED_TRACE(c.name);
    loop_fixture f;
    f.configure([](modem_settings& s) { s.sreg_esc_delay = 10; });
    f.connect_call();
    f.dte_read();
    for (const step& st : c.steps) {
      f.dte_write(st.bytes);
      f.pass();
      f.run_for(st.pause_after);
    }
    int64_t last_byte = f.now();
    f.run_for(199999);
    EXPECT_EQ(f.ms().online, 1);
    EXPECT_EQ(f.dte_read(), "");
    f.run_for(1);
    EXPECT_EQ(f.ms().online, c.escapes ? 0 : 1);
    EXPECT_EQ(f.dte_read(), c.escapes ? "OK\r\n" : "");
    EXPECT_EQ(f.now() - last_byte, 200 * MSEC);
  }
}

TEST(DataMode, EscapeCharacterAbove255NeverMatches) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.sreg_esc = 256;
    s.sreg_esc_delay = 0;
  });
  auto peer = f.connect_call();
  f.dte_read();
  f.dte_write(std::string("+++\0\0\0", 6));
  f.run_for(200 * MSEC);
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_EQ(peer->take().size(), 6u);
}

// S10 = 1: ten seconds without a byte in either direction end the call, to the microsecond.
TEST(DataMode, InactivityEndsTheCallTenSecondsAfterTheLastByte) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_hup_delay = 1; });
  auto peer = f.connect_call();
  f.dte_read();
  // A byte every 9.9 s, alternating directions, keeps the call up well past the limit.
  for (int i = 0; i < 4; ++i) {
    f.run_for(9900 * MSEC);
    if (i % 2 == 0) {
      peer->send("k");
    } else {
      f.dte_write("d");
    }
    f.pass();
  }
  int64_t last_traffic = f.now();
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(peer->take(), "dd");
  f.run_for(10 * SEC - 1);
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  EXPECT_EQ(f.now() - last_traffic, 10 * SEC);
  EXPECT_EQ(f.dte_read(), "kkNO CARRIER\r\n");
  EXPECT_FALSE(f.world().modem_dtr);
  EXPECT_TRUE(peer->closed);
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: inactivity"));
}

TEST(DataMode, PeerShutdownAndResetHangUp) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "shutdown");
    loop_fixture f;
    log_capture log;
    auto peer = f.connect_call();
    f.dte_read();
    peer->send("last words");
    if (reset) {
      peer->reset();
    } else {
      peer->close();
    }
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
    // The peer's last bytes reach the DTE before the carrier is lost.
    EXPECT_EQ(f.dte_read(), "last wordsNO CARRIER\r\n");
    EXPECT_EQ(f.now(), 0);
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: peer shutdown"));
    EXPECT_EQ(log.has(3, "recv error: Connection reset by peer"), reset);
    EXPECT_EQ(f.ms().data_sock.get(), -1);
    EXPECT_TRUE(peer->closed);
  }
}

// The DTR watch: a drop is seen by the next pass (a pass waits at most a second), &D1 leaves
// data mode, &D2 hangs up, &D3 only logs; with S25 = 30 the drop must last 300 000 µs from the
// pass that saw it.
TEST(DataMode, DtrWatchByAction) {
  struct dtr_case {
    int action;
    int debounce;  // S25, 10 ms units
  };
  for (dtr_case c : {dtr_case{0, 0}, {1, 0}, {2, 0}, {3, 0}, {1, 30}, {2, 30}}) {
    SCOPED_TRACE(testing::Message() << "&D" << c.action << " S25=" << c.debounce);
    loop_fixture f;
    log_capture log;
    f.configure([&](modem_settings& s) {
      s.stat_dtr_action = static_cast<uint32_t>(c.action);
      s.sreg_dtr_ignore = static_cast<uint32_t>(c.debounce);
    });
    auto peer = f.connect_call();
    f.dte_read();
    f.run_for(SEC);
    if (c.debounce != 0) {
      // A drop shorter than the debounce time changes nothing.
      f.world().dte_dtr = false;
      ASSERT_TRUE(f.run_until([&] { return f.ls().dtr_drop_timing == 1; }));
      f.run_for(299999);
      f.world().dte_dtr = true;
      f.run_for(2 * SEC);
      EXPECT_EQ(f.ms().online, 1);
      EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
      EXPECT_EQ(f.ls().dtr_drop_timing, 0);
    }
    f.world().dte_dtr = false;
    int64_t dropped = f.now();
    int64_t seen = dropped;
    if (c.action != 0) {
      // The next pass sees it: at most a second later.
      int reads = f.world().modem_get_calls;
      ASSERT_TRUE(f.run_until([&] { return f.world().modem_get_calls > reads; }));
      seen = f.now();
      EXPECT_LE(seen - dropped, SEC);
    }
    if (c.debounce != 0) {
      f.run_for(c.debounce * 10 * MSEC - 1);
      EXPECT_EQ(f.ms().online, 1);
    }
    f.run_until([&] { return f.ms().online == 0; }, 3 * SEC);
    std::string dte = f.dte_read();
    switch (c.action) {
      case 0:
        EXPECT_EQ(f.world().modem_get_calls, 0);
        EXPECT_EQ(f.ms().online, 1);
        EXPECT_EQ(dte, "");
        break;
      case 1:
        EXPECT_EQ(f.ms().online, 0);
        EXPECT_EQ(f.now() - seen, c.debounce * 10 * MSEC);
        EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
        EXPECT_EQ(dte, "");
        EXPECT_TRUE(log.has(6, "going off-line (command mode) due to DTR drop"));
        break;
      case 2:
        EXPECT_EQ(f.ms().call_state, CALL_IDLE);
        EXPECT_EQ(f.now() - seen, c.debounce * 10 * MSEC);
        EXPECT_EQ(dte, "NO CARRIER\r\n");
        EXPECT_TRUE(peer->closed);
        break;
      case 3: {
        EXPECT_EQ(f.ms().online, 1);
        int repeats = 0;
        for (const std::string& text : log.texts()) {
          repeats += text == "Reset (ATZ) on DTR drop - not performed";
        }
        EXPECT_GE(repeats, 3);  // repeated on every pass (one a second) while DTR stays down
        break;
      }
    }
  }
}

// With DTR already down at the connect, the debounce starts with the call: S25 = 20 hangs up
// 200 000 µs after it.
TEST(DataMode, DtrAlreadyDownAtConnectActsAfterDebounce) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.stat_dtr_action = 2;
    s.sreg_dtr_ignore = 20;
  });
  f.world().dte_dtr = false;
  f.run_for(123456);
  f.connect_call();
  int64_t connected = f.now();
  EXPECT_EQ(f.dte_read(), "CONNECT 115200\r\n");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  EXPECT_EQ(f.now() - connected, 200 * MSEC);
  EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
}

TEST(DataMode, FailedModemLineReadCountsAsDtrUp) {
  loop_fixture f;
  log_capture log;
  f.world().modem_get_error = EIO;
  f.world().dte_dtr = false;
  f.connect_call();
  f.run_for(3 * SEC);
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_TRUE(log.has(3, "1ioctl error: Input/output error"));
}

// A peer that takes nothing holds the serial side back: the daemon stops reading the DTE
// instead of dropping bytes, and everything arrives in order once the peer reads again. The
// same holds the other way for a DTE that takes nothing.
TEST(DataMode, StalledSideHoldsTheOtherWithoutLoss) {
  for (bool stalled_peer : {true, false}) {
    SCOPED_TRACE(stalled_peer ? "stalled peer" : "stalled DTE");
    loop_fixture f;
    auto peer = f.connect_call();
    f.dte_read();
    sim_conn& from = stalled_peer ? f.dte() : *peer;
    sim_conn& to = stalled_peer ? *peer : f.dte();
    to.room = 100;
    std::string sent;
    for (int i = 0; i < 50; ++i) sent += std::string(97, static_cast<char>('a' + i % 26));
    from.send(sent);
    f.run_for(5 * SEC);
    // One buffer (1024 bytes) is in the daemon, 100 bytes went out, the rest waits at the source.
    EXPECT_EQ(to.from_daemon, sent.substr(0, 100));
    EXPECT_EQ(from.to_daemon.size(), sent.size() - 1024);
    std::string received = to.take();
    for (int round = 0; round < 1000 && received.size() < sent.size(); ++round) {
      to.room = 37;
      f.run_for(10 * MSEC);
      received += to.take();
    }
    EXPECT_TRUE(received == sent);
    EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  }
}

}  // namespace
