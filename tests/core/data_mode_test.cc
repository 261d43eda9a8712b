// Data mode inside one process: forwarding, the escape sequence, inactivity, the DTR watch and
// the held-bytes rule, through real sockets and the modem-line seam.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "loop_fixture.h"

namespace {

using std::chrono::milliseconds;

TEST(DataMode, ForwardsBothWaysAndDiscardsPeerDataInCommandMode) {
  loop_fixture f;
  f.connect_call();
  EXPECT_EQ(f.dte_read(), "CONNECT 115200\r\n");
  EXPECT_TRUE(f.lines().modem_dtr);

  f.dte_write("hello peer");
  std::string got;
  ASSERT_TRUE(f.run_until([&] { return (got += f.peer_read()) == "hello peer"; }));
  f.peer_write("hello dte");
  got.clear();
  ASSERT_TRUE(f.run_until([&] { return (got += f.dte_read()) == "hello dte"; }));

  // Escape with a short guard, then peer data must not reach the DTE.
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  f.dte_write("+++");
  got.clear();
  ASSERT_TRUE(f.run_until([&] { return (got += f.dte_read()) == "OK\r\n"; }));
  EXPECT_EQ(f.ms().online, 0);
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  f.peer_write("lost in command mode");
  f.run_for(0.2);
  EXPECT_EQ(f.dte_read(), "");

  // ATO resumes; data flows again and the discarded bytes never show up.
  f.dte_write("ATO\r");
  got.clear();
  ASSERT_TRUE(f.run_until(
      [&] { return (got += f.dte_read()).find("CONNECT 115200\r\n") != std::string::npos; }));
  EXPECT_EQ(got, "ATO\r\nCONNECT 115200\r\n");
  f.peer_write("again");
  got.clear();
  ASSERT_TRUE(f.run_until([&] { return (got += f.dte_read()) == "again"; }));
}

TEST(DataMode, SplitTimerGathersSerialBytes) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.sreg_split = 300; });
  f.connect_call();
  f.dte_read();
  std::string early;
  f.run_with([&] {
    for (char c : std::string("abcde")) {
      f.dte_write(std::string(1, c));
      std::this_thread::sleep_for(milliseconds(20));
    }
    // Within the split time after the last byte nothing has been sent.
    std::this_thread::sleep_for(milliseconds(100));
    early = f.peer_read();
  });
  EXPECT_EQ(early, "");
  std::string got;
  ASSERT_TRUE(f.run_until([&] { return (got += f.peer_read()) == "abcde"; }, 3.0));

  // A full buffer goes out at once; the rest after the split time.
  std::string burst(2000, 'x');
  f.dte_write(burst);
  got.clear();
  ASSERT_TRUE(f.run_until([&] { return (got += f.peer_read()).size() >= 1024; }, 0.25));
  ASSERT_TRUE(f.run_until([&] { return (got += f.peer_read()).size() == 2000; }, 3.0));
  EXPECT_EQ(got, burst);
}

TEST(DataMode, EscapeWithoutGuardTime) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 0; });
  f.connect_call();
  f.dte_read();

  // Three escape characters in one read: command mode in that pass, nothing sent.
  f.dte_write("data+++");
  std::string dte;
  ASSERT_TRUE(f.run_until([&] { return (dte += f.dte_read()) == "OK\r\n"; }));
  f.run_for(0.1);
  EXPECT_EQ(f.peer_read(), "");

  // One per read: the first two reach the peer before the third completes the count.
  f.dte_write("ATO\r");
  ASSERT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  f.dte_read();
  std::string peer;
  f.run_with([&] {
    for (int i = 0; i < 3; ++i) {
      f.dte_write("+");
      std::this_thread::sleep_for(milliseconds(100));
      peer += f.peer_read();
    }
  });
  EXPECT_EQ(peer, "++");
  EXPECT_EQ(f.ms().online, 0);
  EXPECT_EQ(f.dte_read(), "OK\r\n");
}

TEST(DataMode, EscapeGuardCases) {
  struct step {
    const char* bytes;
    int pause_after_ms;
  };
  struct escape_case {
    const char* name;
    std::vector<step> steps;
    bool escapes;
  };
  // Guard time S12 = 10: 200 ms.
  const escape_case cases[] = {
      {"three with short gaps then silence", {{"+", 50}, {"+", 50}, {"+", 500}}, true},
      {"data then three in one read", {{"abc+++", 500}}, true},
      {"another byte after three", {{"+++", 50}, {"x", 500}}, false},
      {"four then silence", {{"++++", 500}}, false},
      {"pause inside the run", {{"+", 400}, {"++", 500}}, false},
  };
  for (const escape_case& c : cases) {
    SCOPED_TRACE(c.name);
    loop_fixture f;
    f.configure([](modem_settings& s) {
      s.sreg_esc_delay = 10;
      s.sreg_split = 0;
    });
    f.connect_call();
    f.dte_read();
    f.run_with([&] {
      for (const step& st : c.steps) {
        f.dte_write(st.bytes);
        std::this_thread::sleep_for(milliseconds(st.pause_after_ms));
      }
    });
    EXPECT_EQ(f.ms().online, c.escapes ? 0 : 1);
    EXPECT_EQ(f.dte_read(), c.escapes ? "OK\r\n" : "");
  }
}

TEST(DataMode, EscapeCharacterAbove255NeverMatches) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.sreg_esc = 256;
    s.sreg_esc_delay = 0;
  });
  f.connect_call();
  f.dte_read();
  f.dte_write(std::string("+++\0\0\0", 6));
  f.run_for(0.2);
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_EQ(f.peer_read().size(), 6u);
}

TEST(DataMode, InactivityEndsTheCall) {
  loop_fixture f;
  log_capture log;
  // S10 counts 10 s units; a shorter limit keeps the test quick.
  f.configure([](modem_settings& s) { s.sreg_hup_delay = 1; });
  f.ms().inactivity_timeout_sec = 1;
  f.connect_call();
  f.dte_read();
  // Traffic every 400 ms keeps the call up well past the 1 s limit.
  auto last_traffic = std::chrono::steady_clock::now();
  f.run_with([&] {
    for (int i = 0; i < 4; ++i) {
      f.peer_write("k");
      last_traffic = std::chrono::steady_clock::now();
      std::this_thread::sleep_for(milliseconds(400));
    }
  });
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }, 3.0));
  EXPECT_GE(std::chrono::steady_clock::now() - last_traffic, milliseconds(900));
  EXPECT_EQ(f.dte_read(), "kkkkNO CARRIER\r\n");
  EXPECT_FALSE(f.lines().modem_dtr);
  EXPECT_TRUE(f.peer_closed());
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: inactivity"));
}

TEST(DataMode, PeerShutdownHangsUp) {
  loop_fixture f;
  log_capture log;
  int peer = f.connect_call();
  f.dte_read();
  f.peer_write("last words");
  shutdown(peer, SHUT_WR);
  std::string dte;
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  dte = f.dte_read();
  // The peer's last bytes reach the DTE before the carrier is lost.
  EXPECT_EQ(dte, "last wordsNO CARRIER\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: peer shutdown"));
  EXPECT_EQ(f.ms().data_sock.get(), -1);
}

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
    f.connect_call();
    f.dte_read();
    if (c.debounce != 0) {
      // A drop shorter than the debounce time changes nothing.
      f.run_with([&] {
        std::this_thread::sleep_for(milliseconds(50));
        f.lines().dte_dtr = false;
        std::this_thread::sleep_for(milliseconds(100));
        f.lines().dte_dtr = true;
        std::this_thread::sleep_for(milliseconds(400));
      });
      EXPECT_EQ(f.ms().online, 1);
      EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
    }
    f.run_with([&] {
      f.lines().dte_dtr = false;
      std::this_thread::sleep_for(milliseconds(1500));
    });
    std::string dte = f.dte_read();
    switch (c.action) {
      case 0:
        EXPECT_EQ(f.lines().get_calls, 0);
        EXPECT_EQ(f.ms().online, 1);
        EXPECT_EQ(dte, "");
        break;
      case 1:
        EXPECT_EQ(f.ms().online, 0);
        EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
        EXPECT_EQ(dte, "");
        EXPECT_TRUE(log.has(6, "going off-line (command mode) due to DTR drop"));
        break;
      case 2:
        EXPECT_EQ(f.ms().call_state, CALL_IDLE);
        EXPECT_EQ(dte, "NO CARRIER\r\n");
        EXPECT_TRUE(f.peer_closed());
        break;
      case 3: {
        EXPECT_EQ(f.ms().online, 1);
        int repeats = 0;
        for (const std::string& text : log.texts()) {
          repeats += text == "Reset (ATZ) on DTR drop - not performed";
        }
        EXPECT_GT(repeats, 1);  // repeated on every pass while DTR stays down
        break;
      }
    }
  }
}

TEST(DataMode, DtrAlreadyDownAtConnectActsAfterDebounce) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.stat_dtr_action = 2;
    s.sreg_dtr_ignore = 20;
  });
  f.lines().dte_dtr = false;
  f.connect_call();
  EXPECT_EQ(f.dte_read(), "CONNECT 115200\r\n");
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }, 3.0));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(150));
  EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
}

TEST(DataMode, FailedModemLineReadCountsAsDtrUp) {
  loop_fixture f;
  log_capture log;
  f.lines().fail_get = true;
  f.lines().dte_dtr = false;
  f.connect_call();
  f.run_for(0.1);
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_TRUE(log.has(3, "1ioctl error: Input/output error"));
}

TEST(DataMode, StalledPeerHoldsTheSerialSideWithoutLoss) {
  loop_fixture f;
  int peer = f.connect_call();
  int small = 4096;
  setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  setsockopt(f.ms().data_sock.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  f.dte_read();
  // The peer reads nothing: the daemon must stop reading the serial side instead of dropping
  // bytes, so the DTE's writes end up refused for good.
  std::string sent;
  bool blocked = false;
  f.run_with([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto refused_since = std::chrono::steady_clock::time_point::max();
    for (int round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
      std::string chunk(997, static_cast<char>('a' + round % 26));
      ssize_t n = write(f.dte_fd(), chunk.data(), chunk.size());
      if (n > 0) {
        sent.append(chunk, 0, static_cast<size_t>(n));
        refused_since = std::chrono::steady_clock::time_point::max();
        continue;
      }
      auto now = std::chrono::steady_clock::now();
      if (refused_since == std::chrono::steady_clock::time_point::max()) refused_since = now;
      if (now - refused_since > milliseconds(500)) {
        blocked = true;
        return;
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
  });
  ASSERT_TRUE(blocked) << "the serial side was never held back";
  std::string received;
  f.run_with([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
      received += f.peer_read();
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
}

TEST(DataMode, LongSplitTimeLeavesTheLoopWakingEverySecond) {
  loop_fixture f;
  // The largest S11 is 35 minutes in microseconds; the escape guard is 200 ms.
  f.configure([](modem_settings& s) {
    s.sreg_split = 4294967295u;
    s.sreg_esc_delay = 10;
  });
  f.connect_call();
  f.dte_read();
  f.dte_write("abc");
  std::string got;
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(f.run_until([&] { return (got += f.peer_read()) == "abc"; }, 5)) << got;
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(seconds, 0.9);  // held for the split time as far as a one-second wait times it
  // The escape guard is checked while bytes are held for the split.
  f.dte_write("+++");
  got.clear();
  ASSERT_TRUE(f.run_until([&] { return (got += f.dte_read()) == "OK\r\n"; }, 5)) << got;
  EXPECT_EQ(f.ms().online, 0);
}

// Serial bytes the daemon has not read yet.
int unread_serial(loop_fixture& f) {
  int n = 0;
  ioctl(f.ms().serial_fd.get(), FIONREAD, &n);
  return n;
}

// `n` bytes of a pattern that holds no escape character, numbered from `from`.
std::string pattern(size_t from, size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>('a' + (from + i) % 26);
  return out;
}

// Puts a call on-line whose peer reads nothing, with small socket buffers, and has the DTE
// write until the daemon holds serial bytes behind a send that the peer's side no longer
// takes: held bytes that do not move for a while. Returns the bytes written.
std::string stall_the_peer(loop_fixture& f) {
  int peer = f.connect_call();
  int small = 4096;
  setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  setsockopt(f.ms().data_sock.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  f.dte_read();
  std::string sent;
  for (int i = 0; i < 200; ++i) {
    std::string chunk = pattern(sent.size(), 8192);
    f.dte_write(chunk);
    sent += chunk;
    // The port is read on while the send waits; a daemon that stopped reading it fails here.
    if (!f.run_until([&] { return unread_serial(f) == 0; }, 2.0)) break;
    int held = f.ls().ahead_len;
    if (held == 0) continue;
    f.run_for(0.2);
    if (f.ls().ahead_len == held) break;
  }
  return sent;
}

TEST(DataMode, EscapeIsSeenWhileThePeerReadsNothing) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 10; });  // 200 ms
  log_capture log;
  std::string sent = stall_the_peer(f);
  const int held = f.ls().ahead_len;
  ASSERT_GT(held, 0) << "the serial port was not read behind the stalled send";
  ASSERT_LE(held, READ_AHEAD_SIZE - 3003);
  ASSERT_TRUE(f.ls().serial_sending);

  // More data, a pause beyond the guard time, the escape, a pause: OK, as without a stall.
  f.dte_write(pattern(sent.size(), 3000));
  ASSERT_TRUE(f.run_until([&] { return unread_serial(f) == 0; }));
  EXPECT_EQ(f.ls().ahead_len, held + 3000);  // nothing went out meanwhile
  f.run_for(0.4);
  f.dte_write("+++");
  std::string got;
  ASSERT_TRUE(f.run_until([&] { return (got += f.dte_read()) == "OK\r\n"; }, 5)) << got;
  EXPECT_TRUE(log.has(6, "going off-line (command mode) due to escape sequence"));
  EXPECT_EQ(f.ms().online, 0);
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  // Leaving data mode drops what was held, as it always has.
  EXPECT_EQ(f.ls().ahead_len, 0);
  EXPECT_EQ(f.ls().serial_len, 0);
  f.type_line("ATH");
  got.clear();
  ASSERT_TRUE(f.run_until([&] { return (got += f.dte_read()) == "ATH\r\nOK\r\n"; }));
}

TEST(DataMode, ReadAheadIsBoundedAndGoesOutInOrder) {
  loop_fixture f;
  std::string sent = stall_the_peer(f);
  const int held = f.ls().ahead_len;
  ASSERT_GT(held, 0);
  // Far more than the read-ahead holds: the port is read up to its capacity and no further.
  std::string more = pattern(sent.size(), 2 * READ_AHEAD_SIZE);
  f.dte_write(more);
  sent += more;
  f.run_for(0.5);
  EXPECT_EQ(f.ls().ahead_len, READ_AHEAD_SIZE);
  EXPECT_EQ(unread_serial(f), 2 * READ_AHEAD_SIZE - (READ_AHEAD_SIZE - held));
  // Once the peer reads, every byte arrives, in order.
  std::string received;
  f.run_with([&] {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (received.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
      received += f.peer_read();
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
  EXPECT_EQ(f.ls().ahead_len, 0);
}

// Brings the loopback interface of the calling thread's network namespace up or down.
bool set_loopback(bool up) {
  unique_fd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq req{};
  strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(sock.get(), SIOCGIFFLAGS, &req) != 0) return false;
  if (up) {
    req.ifr_flags = static_cast<short>(req.ifr_flags | IFF_UP);
  } else {
    req.ifr_flags = static_cast<short>(req.ifr_flags & ~IFF_UP);
  }
  return ioctl(sock.get(), SIOCSIFFLAGS, &req) == 0;
}

TEST(DataMode, VanishedPeerEndsTheCallInTheKeepaliveSpanWithOrWithoutData) {
  for (bool data_waiting : {false, true}) {
    SCOPED_TRACE(data_waiting ? "the DTE keeps writing" : "idle");
    bool skipped = false;
    double seconds = -1;
    // The call runs in a network namespace of its own thread, whose loopback the test takes
    // down under an established connection: the peer vanishes without a word.
    std::thread in_namespace([&] {
      if (unshare(CLONE_NEWNET) != 0 || !set_loopback(true)) {
        skipped = true;
        return;
      }
      log_capture log;
      loop_fixture f;
      f.configure([](modem_settings& s) {
        s.keepalive = 1;
        s.keepalive_time = 1;
        s.keepalive_intvl = 1;
        s.keepalive_probes = 1;
      });
      f.connect_call();
      f.dte_read();
      ASSERT_TRUE(set_loopback(false));
      auto start = std::chrono::steady_clock::now();
      bool ended = f.run_until(
          [&] {
            if (data_waiting) f.dte_write("data");
            return f.ms().call_state == CALL_IDLE;
          },
          30);
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      EXPECT_TRUE(ended) << "the call did not end within 30 s";
      // The cause the connection reported, and the carrier's end for the DTE.
      EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: Connection timed out"))
          << ::testing::PrintToString(log.texts());
      EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
      EXPECT_FALSE(f.lines().modem_dtr);
    });
    in_namespace.join();
    if (skipped) GTEST_SKIP() << "no network namespace for this test (needs CAP_SYS_ADMIN)";
    // The keepalive's span is 1 + 1 x 1 s; the bound leaves room for retransmission timing and
    // a loaded machine.
    EXPECT_GT(seconds, 1.0);
    EXPECT_LT(seconds, 15.0);
    printf("the vanished peer ended the call after %.2f s (%s)\n", seconds,
           data_waiting ? "data waiting" : "idle");
  }
}

}  // namespace
