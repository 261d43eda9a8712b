// Data mode in the simulated world: forwarding, the forwarding delay (S11), the escape sequence
// and its guard time (S2, S12), inactivity (S10), the DTR watch (&D, S25) and the held-bytes
// rule, with the clock exact to the microsecond.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cerrno>
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

// Bytes that wait together move in one write each way (one TLS record when encrypted): the
// DTE's in writes of up to 16 KiB (read on while reads bring 4 KiB, as a pty's do), the peer's in
// receives that double while the port takes all.
TEST(DataMode, BytesThatWaitTogetherMoveInWritesOfUpTo16KiB) {
  loop_fixture f;
  auto peer = f.connect_call();
  f.dte().writes.clear();
  f.dte().read_max = 4095;
  f.dte_write(std::string(40000, 'u'));
  peer->send(std::string(64512, 'p'));
  f.run_for(SEC);
  EXPECT_EQ(peer->writes, (std::vector<size_t>{16384, 16384, 7232}));
  EXPECT_EQ(f.dte().writes, (std::vector<size_t>{1024, 2048, 4096, 8192, 16384, 16384, 16384}));
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
    EXPECT_EQ(f.ls().link.sock.get(), -1);
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

// While DTR is up nothing is timed: an idle call waits a whole second per pass, after the
// connect (which arms the debounce) as after a drop shorter than S25. A debounce countdown left
// armed made select wake for it again and again, down to every microsecond.
TEST(DataMode, NoWakeUpsForAFinishedDebounce) {
  for (int64_t glitch : {int64_t{0}, 100 * MSEC, int64_t{299999}}) {
    SCOPED_TRACE(testing::Message() << "DTR down for " << glitch << " us");
    loop_fixture f;
    f.configure([](modem_settings& s) {
      s.stat_dtr_action = 2;
      s.sreg_dtr_ignore = 30;
      s.sreg_esc_delay = 0;  // no guard time to wait for either
    });
    f.connect_call();
    f.pass();
    if (glitch != 0) {
      f.world().dte_dtr = false;
      ASSERT_TRUE(f.run_until([&] { return f.ls().dtr_drop_timing == 1; }));
      f.run_for(glitch);
      f.world().dte_dtr = true;
      f.pass();
      ASSERT_EQ(f.ls().dtr_drop_timing, 0);
    }
    for (int i = 0; i < 5; ++i) {
      f.pass();
      EXPECT_EQ(f.world().last_wait, SEC);
    }
    EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  }
}

// A full buffer goes out before the forwarding delay has run out; while the peer takes nothing
// the delay is not waited for again and again: the held send is tried after 10 ms, then twice as
// long each time, up to a second. Select reports the socket writable only with 8 KiB free (a
// third of the buffer on Linux): a slow reader still gets bytes as it makes room.
TEST(DataMode, NoWakeUpsForTheSplitTimerWhileASendIsHeld) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.sreg_split = 100;
    s.sreg_esc_delay = 0;
  });
  auto peer = f.connect_call();
  peer->room = 0;
  peer->wake_room = 8192;
  f.dte_write(std::string(20000, 'x'));
  f.pass();
  ASSERT_NE(f.ls().data.sending, 0);
  // Passes that find something ready (the port is read ahead) do not wait at all.
  int idle = 0;
  for (int i = 0; i < 20 && idle < 9; ++i) {
    f.pass();
    if (f.world().last_ready != 0) continue;
    EXPECT_EQ(f.world().last_wait, std::min(10 * MSEC << idle, SEC));
    ++idle;
  }
  EXPECT_EQ(idle, 9);
  size_t unused = 0;  // room the peer made 100 bytes every 10 ms, left unused
  for (int i = 0; i < 200; ++i, peer->room += 100) {
    f.run_for(10 * MSEC);
    if (i >= 100) unused = std::max(unused, peer->room);
  }
  EXPECT_LE(unused, 100u);
  peer->room = SIZE_MAX;
  ASSERT_TRUE(f.run_until([&] { return peer->from_daemon.size() == 20000; }));
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

// A peer that takes nothing holds the serial side back: the daemon reads the DTE on into its
// read-ahead and then stops reading it instead of dropping bytes, and everything arrives in
// order once the peer reads again. The same holds the other way for a DTE that takes nothing
// (without a read-ahead: the peer's connection holds its bytes).
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
    for (int i = 0; i < 200; ++i) sent += std::string(97, static_cast<char>('a' + i % 26));
    from.send(sent);
    f.run_for(5 * SEC);
    // One buffer (1024 bytes) and, towards the peer, the read-ahead are in the daemon, 100
    // bytes went out, the rest waits at the source.
    size_t held = 1024 + (stalled_peer ? READ_AHEAD_SIZE : 0);
    EXPECT_EQ(to.from_daemon, sent.substr(0, 100));
    EXPECT_EQ(from.to_daemon.size(), sent.size() - held);
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

// While the peer takes nothing, an escape typed after the guard time is still seen, as long as
// what the DTE sent since the stall fits in the read-ahead; what was held is dropped with data
// mode, as always.
TEST(DataMode, EscapeIsSeenWhileThePeerTakesNothing) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 10; });  // 200 ms
  auto peer = f.connect_call();
  f.dte_read();
  peer->room = 0;
  f.dte_write(std::string(READ_AHEAD_SIZE, 'd'));  // one write waiting to be sent
  f.run_for(1 * SEC);
  EXPECT_EQ(f.ls().data.out_len, READ_AHEAD_SIZE);
  EXPECT_EQ(f.dte().to_daemon, "");
  f.dte_write("+++");
  int64_t typed = f.now();
  ASSERT_TRUE(f.run_until([&] { return f.ms().online == 0; }, 2 * SEC));
  EXPECT_EQ(f.now() - typed, 200 * MSEC);
  EXPECT_EQ(f.dte_read(), "OK\r\n");
  EXPECT_TRUE(log.has(6, "going off-line (command mode) due to escape sequence"));
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(f.ls().data.out_len, 0);
  EXPECT_EQ(peer->from_daemon, "");
}

// A DTE that sends more than the read-ahead holds is held back by the port: its escape stays
// behind the data it sent first. DTR (&D2) still ends such a call.
TEST(DataMode, EscapeBehindAFullReadAheadWaitsButDtrEndsTheCall) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 10; });
  auto peer = f.connect_call();
  f.dte_read();
  peer->room = 0;
  f.dte_write(std::string(SERIAL_BUF_SIZE + READ_AHEAD_SIZE + 5, 'd'));
  f.run_for(500 * MSEC);
  f.dte_write("+++");
  f.run_for(2 * SEC);
  EXPECT_EQ(f.ls().data.out_len, SERIAL_BUF_SIZE + READ_AHEAD_SIZE);
  EXPECT_EQ(f.dte().to_daemon, "ddddd+++");  // not read: the port holds the DTE back
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_EQ(f.dte_read(), "");
  f.world().dte_dtr = false;  // &D2, S25 = 0
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }, 2 * SEC));
  EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
  EXPECT_TRUE(peer->closed);
}

// S11 beyond a second: the loop still wakes every second, so held bytes go out a second after
// the last read and the escape guard is timed while they wait (the largest S11 once stretched
// the wait to 35 minutes).
TEST(DataMode, LongSplitTimeLeavesTheLoopWakingEverySecond) {
  for (uint32_t split : {2000u, 4294967295u}) {
    SCOPED_TRACE(split);
    loop_fixture f;
    f.configure([split](modem_settings& s) {
      s.sreg_split = split;
      s.sreg_esc_delay = 10;
    });
    auto peer = f.connect_call();
    f.dte_read();
    f.dte_write("abc");
    int64_t typed = f.now();
    ASSERT_TRUE(f.run_until([&] { return peer->from_daemon == "abc"; }, 5 * SEC));
    // A second after the check that last found the countdown running (the guard's, here).
    EXPECT_EQ(f.now() - typed, 1 * SEC + 200 * MSEC);
    EXPECT_LE(f.world().last_wait, 1 * SEC);
    f.dte_write("x+++");
    typed = f.now();
    ASSERT_TRUE(f.run_until([&] { return f.ms().online == 0; }, 5 * SEC));
    EXPECT_EQ(f.now() - typed, 200 * MSEC);
    EXPECT_EQ(f.dte_read(), "OK\r\n");
  }
}

// Register values whose durations once wrapped: the loop's wait never turns negative (select
// failed with EINVAL on every pass), a very long limit never ends the call at once, and data
// moves both ways.
TEST(DataMode, NoRegisterValueWedgesTheLoop) {
  struct row {
    const char* what;
    void (*change)(modem_settings& s);
  };
  const row rows[] = {
      {"&D2 S25=300000", [](modem_settings& s) { s.sreg_dtr_ignore = 300000; }},
      {"S12=214748", [](modem_settings& s) { s.sreg_esc_delay = 214748; }},
      {"S12=4294967295", [](modem_settings& s) { s.sreg_esc_delay = 4294967295u; }},
      {"S10=214748365", [](modem_settings& s) { s.sreg_hup_delay = 214748365; }},
      {"S10=4294967295", [](modem_settings& s) { s.sreg_hup_delay = 4294967295u; }},
      {"S11=4294967295", [](modem_settings& s) { s.sreg_split = 4294967295u; }},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    loop_fixture f;
    log_capture log;
    f.configure(r.change);
    auto peer = f.connect_call();
    f.dte_read();
    for (int i = 0; i < 3; ++i) {
      peer->send("p");
      f.dte_write("d");
      f.run_for(2 * SEC);
    }
    EXPECT_EQ(f.dte_read(), "ppp");
    EXPECT_EQ(peer->take(), "ddd");
    EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
    EXPECT_FALSE(log.has(3, "select error: Invalid argument"));
    EXPECT_GE(f.world().last_wait, 0);
  }
}

// The connection reports that the peer is gone (the keepalive): the call ends with that cause,
// whether it shows on a receive or on a send.
TEST(DataMode, TimedOutConnectionEndsTheCallWithItsCause) {
  for (bool data_waiting : {false, true}) {
    SCOPED_TRACE(data_waiting ? "send" : "receive");
    loop_fixture f;
    log_capture log;
    f.configure([](modem_settings& s) {
      s.keepalive = 1;
      s.keepalive_time = 60;
      s.keepalive_intvl = 10;
      s.keepalive_probes = 5;
    });
    auto peer = f.connect_call();
    f.dte_read();
    if (data_waiting) {
      peer->write_error = ETIMEDOUT;
      f.dte_write("data");
    } else {
      peer->read_error = ETIMEDOUT;
    }
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }, 2 * SEC));
    EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
    EXPECT_FALSE(f.world().modem_dtr);
    EXPECT_TRUE(peer->closed);
    EXPECT_TRUE(log.has(
        3, data_waiting ? "send error: Connection timed out" : "recv error: Connection timed out"));
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: Connection timed out"));
  }
}

// Output for the DTE waits while the line takes nothing: in order, with peer bytes behind the
// CONNECT that precedes them, and bounded: beyond the queue the newest output is dropped, with
// one level-4 line.
TEST(DataMode, DteOutputWaitsForTheLineInOrderAndIsBounded) {
  loop_fixture f;
  f.type_line("AT&V");
  f.run_for(10 * MSEC);
  const std::string report = f.dte_read();
  log_capture log;
  f.dte().room = 0;
  std::string lines;
  for (int i = 0; i < 30; ++i) lines += "AT&V\r";
  f.dte_write(lines);
  f.run_for(SEC);
  f.dte().room = SIZE_MAX;
  f.run_for(SEC);
  std::string all;
  for (int i = 0; i < 30; ++i) all += report;
  EXPECT_EQ(f.dte_read(), all.substr(0, DTE_OUTPUT_SIZE));
  const std::string full = "serial output queue full (4096 bytes): output for the DTE dropped";
  std::vector<std::string> texts = log.texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), full), 1);
  EXPECT_TRUE(log.has(4, full));

  f.dte().room = 0;
  auto peer = f.connect_call();
  peer->send("after connect");
  f.run_for(SEC);
  f.dte().room = SIZE_MAX;
  f.run_for(SEC);
  EXPECT_EQ(f.dte_read(), "CONNECT 115200\r\nafter connect");
}

// The dead-peer watch (keepalive 5 s + 2 x 2 s = 9 s), the peer's TCP progress played by the
// test: a peer that answers but takes nothing keeps its call although it has acknowledged
// nothing for a minute; data unacknowledged, or window probes unanswered, end the call the span
// after the bytes began to wait, however long the call was idle before.
TEST(DataMode, DeadPeerWatch) {
  struct row {
    const char* what;
    int64_t idle;  // before the DTE sends
    bool peer_takes;
    uint32_t unacked, probes;  // reported once the bytes are sent
    bool ends;
  };
  const row rows[] = {
      {"stalled, answering its window probes", 0, false, 0, 0, false},
      {"stalled, its window probes unanswered", 0, false, 0, 2, true},
      {"vanished, data in flight", SEC, true, 3, 0, true},
      {"idle for a minute, then data never acknowledged", 60 * SEC, true, 3, 0, true},
      {"idle for a minute, then data acknowledged", 60 * SEC, true, 0, 0, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    loop_fixture f;
    log_capture log;
    f.configure([](modem_settings& s) {
      s.keepalive = 1;
      s.keepalive_time = 5;
      s.keepalive_intvl = 2;
      s.keepalive_probes = 2;
    });
    auto peer = f.connect_call();
    f.run_for(r.idle);
    if (!r.peer_takes) peer->room = 0;
    f.dte_write("data");
    ASSERT_TRUE(
        f.run_until([&] { return f.ls().data.sending != 0 || !peer->from_daemon.empty(); }));
    int64_t sent = f.now();
    peer->unacked = r.unacked;
    peer->probes = r.probes;
    if (r.unacked == 0 && r.probes == 0 && r.peer_takes) peer->last_ack = sent;
    bool ended = f.run_until([&] { return f.ms().call_state == CALL_IDLE; }, 60 * SEC);
    EXPECT_EQ(ended, r.ends);
    if (!r.ends) continue;
    EXPECT_EQ(f.now() - sent, 9 * SEC);
    EXPECT_TRUE(f.dte_read().ends_with("NO CARRIER\r\n"));
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: Connection timed out"));
  }
}

}  // namespace
