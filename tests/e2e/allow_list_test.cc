// Who may call: the caller allow list (MOD_ORVANE_ALLOW) at start-up, on accept, on ATZ and AT&W,
// and a flood of refused and rejected connections that leaves a few log lines and a call
// intact. Loopback answers from any 127.x address, so callers are told apart by the source
// address they bind: 127.0.0.2 is allowed, 127.0.0.3 is not.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "e2e/call_helpers.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kRing = "RING\r\n";

// A connection that the daemon closes before any byte: it was turned away.
testing::AssertionResult turned_away(int port, const char* source) {
  unique_fd conn = connect_loopback(port, source);
  if (!conn.valid()) return testing::AssertionFailure() << "cannot connect from " << source;
  std::string got = recv_until(conn.get(), "never", seconds_from_now(10));
  if (!got.empty()) return testing::AssertionFailure() << "received " << got;
  if (!wait_peer_closed(conn.get(), seconds_from_now(1))) {
    return testing::AssertionFailure() << "the connection from " << source << " stayed open";
  }
  return testing::AssertionSuccess();
}

std::string not_allowed(const char* source) {
  return std::string("TCP connection from ") + source + " not allowed";
}

// The register S1 as ATS1? reports it.
std::string ring_count(modem& m) {
  if (!m.d.serial_write("ATS1?\r")) return "cannot type";
  std::string got = m.d.serial_read_until("OK\r\n", seconds_from_now(5));
  const std::string echo = "ATS1?\r\n";
  if (got.rfind(echo, 0) != 0) return got;
  return got.substr(echo.size(), got.find("\r\n", echo.size()) - echo.size());
}

// The settings file's line of `key`, "" when there is none.
std::string settings_line(const sandbox& box, const std::string& key) {
  std::string text = read_file(box.settings_path());
  size_t at = text.find(key + "=");
  if (at == std::string::npos) return "";
  return text.substr(at, text.find('\n', at) - at);
}

TEST(AllowList, OnlyListedCallersRingAndTheRestChangeNothing) {
  modem m;
  use_call_settings(m.box);
  m.box.set("MOD_ORVANE_ALLOW", "\"127.0.0.2, 127.0.0.4/32\"");
  ASSERT_TRUE(start_modem(m));
  const int port = m.box.port();
  {
    SCOPED_TRACE("idle: a caller that is not allowed gets no RING and leaves S1 as it was");
    ASSERT_TRUE(turned_away(port, "127.0.0.3"));
    EXPECT_TRUE(m.d.wait_log(not_allowed("127.0.0.3"), seconds_from_now(5), 5));
    ASSERT_TRUE(turned_away(port, "::1"));
    EXPECT_TRUE(m.d.wait_log(not_allowed("::1"), seconds_from_now(5), 5));
    EXPECT_EQ(m.d.serial_read_for(200ms), "");
    EXPECT_EQ(ring_count(m), "0");
  }
  unique_fd caller = connect_loopback(port, "127.0.0.2");
  ASSERT_TRUE(caller.valid());
  {
    SCOPED_TRACE("ringing: a refused caller leaves the ringing call alone");
    ASSERT_TRUE(serial_gets(m.d, kRing, 5));
    ASSERT_TRUE(turned_away(port, "127.0.0.3"));
    EXPECT_TRUE(serial_exchange(m.d, "ATS1?\r", "ATS1?\r\n1\r\nOK\r\n"));
    ASSERT_TRUE(serial_exchange(m.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
    EXPECT_EQ(recv_for(caller.get(), 300ms), "X");
  }
  {
    SCOPED_TRACE("connected: refused from anywhere else, rejected from an allowed address");
    ASSERT_TRUE(turned_away(port, "127.0.0.3"));
    ASSERT_TRUE(turned_away(port, "127.0.0.4"));
    EXPECT_TRUE(m.d.wait_log("TCP connection from 127.0.0.4 rejected", seconds_from_now(5), 5));
    ASSERT_TRUE(send_all(caller.get(), "still here"));
    EXPECT_TRUE(serial_gets(m.d, "still here"));
    ASSERT_TRUE(m.d.serial_write("and here"));
    EXPECT_EQ(recv_until(caller.get(), "and here", seconds_from_now(5)), "and here");
    caller.reset();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
    EXPECT_EQ(ring_count(m), "1");
  }
  {
    SCOPED_TRACE("an outgoing call to an address not on the list, which then calls in");
    unique_fd listener = listen_loopback(0);
    ASSERT_TRUE(listener.valid());
    ASSERT_TRUE(set_dial_port(m.box, m.d, local_port(listener.get())));
    ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
    unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(send_all(peer.get(), "X"));
    ASSERT_TRUE(serial_gets(m.d, kConnect, 10));
    // From the connected peer's own address: an allowed caller would end the call and ring
    // again; one that is not allowed changes nothing.
    ASSERT_TRUE(turned_away(port, "127.0.0.1"));
    EXPECT_TRUE(m.d.wait_log(not_allowed("127.0.0.1"), seconds_from_now(5), 5));
    ASSERT_TRUE(send_all(peer.get(), "call goes on"));
    EXPECT_TRUE(serial_gets(m.d, "call goes on"));
    peer.reset();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
  }
  {
    SCOPED_TRACE("ATZ takes a new list, refuses a bad one, AT&W keeps the list in force");
    m.box.set("MOD_ORVANE_ALLOW", "127.0.0.3");
    ASSERT_TRUE(serial_exchange(m.d, "ATZ\r", "ATZ\r\nOK\r\n"));
    ASSERT_TRUE(turned_away(port, "127.0.0.2"));
    unique_fd now_allowed = connect_loopback(port, "127.0.0.3");
    ASSERT_TRUE(serial_gets(m.d, kRing, 5));
    now_allowed.reset();
    ASSERT_TRUE(serial_gets(m.d, kNoCarrier, 10));

    m.box.set("MOD_ORVANE_ALLOW", "127.0.0.0/8,127.0.0.300");
    m.box.set("MOD_ORVANE_SREG_RING_INT", "7");
    ASSERT_TRUE(serial_exchange(m.d, "ATZ\r", "ATZ\r\nERROR\r\n"));
    EXPECT_TRUE(m.d.wait_log("MOD_ORVANE_ALLOW: \"127.0.0.300\" is not an IPv4 address or prefix",
                             seconds_from_now(5), 3));
    // Nothing of that file was taken: neither the list nor the register.
    EXPECT_TRUE(serial_exchange(m.d, "ATS6?\r", "ATS6?\r\n30\r\nOK\r\n"));
    ASSERT_TRUE(turned_away(port, "127.0.0.2"));
    ASSERT_TRUE(serial_exchange(m.d, "AT&W\r", "AT&W\r\nOK\r\n"));
    EXPECT_EQ(settings_line(m.box, "MOD_ORVANE_ALLOW"), "MOD_ORVANE_ALLOW=127.0.0.3");

    m.box.unset("MOD_ORVANE_ALLOW");
    ASSERT_TRUE(serial_exchange(m.d, "ATZ\r", "ATZ\r\nOK\r\n"));
    unique_fd anyone = connect_loopback(port, "127.0.0.2");
    ASSERT_TRUE(serial_gets(m.d, kRing, 5));
    anyone.reset();
    ASSERT_TRUE(serial_gets(m.d, kNoCarrier, 10));
    ASSERT_TRUE(serial_exchange(m.d, "AT&W\r", "AT&W\r\nOK\r\n"));
    EXPECT_EQ(settings_line(m.box, "MOD_ORVANE_ALLOW"), "");
    std::string saved = read_file(m.box.settings_path());
    EXPECT_TRUE(saved.ends_with("\n" + settings_line(m.box, "MOD_ORVANE_SPOOF_OK") + "\n"))
        << saved;
  }
  stop_modem(m);
}

TEST(AllowList, CallingDaemonThatIsNotAllowedReportsBusy) {
  modem caller;
  modem callee;
  use_call_settings(caller.box);
  use_call_settings(callee.box);
  callee.box.set("MOD_ORVANE_ALLOW", "127.0.0.2");
  ASSERT_TRUE(start_modem(caller));
  ASSERT_TRUE(start_modem(callee));
  ASSERT_TRUE(set_dial_port(caller.box, caller.d, callee.box.port()));
  // The refusal can come so fast that BUSY arrives with the echo: read both as one.
  EXPECT_TRUE(
      serial_exchange(caller.d, kDialLoopback, std::string(kDialLoopbackEcho) + "BUSY\r\n", 10));
  EXPECT_TRUE(callee.d.wait_log(not_allowed("127.0.0.1"), seconds_from_now(5), 5));
  EXPECT_EQ(callee.d.serial_read_for(200ms), "");
  stop_modem(caller);
  stop_modem(callee);
}

TEST(AllowList, InvalidEntryRefusesStartUpBeforeTheDeviceIsLocked) {
  struct {
    const char* value;
    const char* entry;
    const char* family;
  } cases[] = {
      {"10.0.0.0/8,192.168.1.0/33", "192.168.1.0/33", "IPv4"},
      {"\"127.0.0.1 localhost\"", "localhost", "IPv4"},
      {"127.0.0.1;127.0.0.2", "127.0.0.1;127.0.0.2", "IPv4"},
      {"\"::1 2001:db8::/129\"", "2001:db8::/129", "IPv6"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    sandbox box;
    ASSERT_TRUE(box.ok());
    box.set("MOD_ORVANE_ALLOW", c.value);
    daemon_process d(box);
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.wait_exit(seconds_from_now(15)), 1) << d.log_text();
    EXPECT_TRUE(d.has_log(std::string("MOD_ORVANE_ALLOW: \"") + c.entry + "\" is not an " +
                              c.family + " address or prefix",
                          3))
        << d.log_text();
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::is_empty(box.path("/var/lock"), ec) && !ec);
    EXPECT_FALSE(path_exists(box.pid_path()));
  }
}

// Log lines about turned-away connections: one per connection, and the counts of the
// summaries.
struct turned_away_lines {
  int single = 0;
  int summaries = 0;
  long counted = 0;
};

turned_away_lines count_turned_away(const daemon_process& d) {
  turned_away_lines t;
  for (const log_line& line : d.log()) {
    const std::string& text = line.text;
    if (text.rfind("TCP connection from ", 0) == 0 &&
        (text.ends_with(" not allowed") || text.ends_with(" rejected"))) {
      ++t.single;
    }
    long n = 0;
    char rest[64] = "";
    if (sscanf(text.c_str(), "%ld more connections refused or rejected in the last 10 %63[^\n]", &n,
               rest) == 2 &&
        std::string(rest) == "s") {
      ++t.summaries;
      t.counted += n;
    }
  }
  return t;
}

TEST(AllowList, FloodOfRefusedAndRejectedCallersLeavesAFewLinesAndTheCallIntact) {
  modem m;
  use_call_settings(m.box);
  m.box.set("MOD_ORVANE_ALLOW", "127.0.0.2,127.0.0.4");
  // No escape character: random data cannot leave data mode.
  m.box.set("MOD_ORVANE_SREG_ESC", "256");
  ASSERT_TRUE(start_modem(m));
  const int port = m.box.port();
  unique_fd caller = connect_loopback(port, "127.0.0.2");
  ASSERT_TRUE(caller.valid());
  ASSERT_TRUE(serial_gets(m.d, kRing, 5));
  ASSERT_TRUE(serial_exchange(m.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
  ASSERT_EQ(recv_for(caller.get(), 300ms), "X");

  // Half of the flood is not allowed, half is allowed but finds the line busy; it lasts a few
  // seconds. Each connection is over when the daemon has closed it.
  constexpr int kFlood = 300;
  std::atomic<int> closed{0};
  std::atomic<bool> flood_over{false};
  std::thread flood([&] {
    for (int i = 0; i < kFlood; ++i) {
      unique_fd conn = connect_loopback(port, i % 2 == 0 ? "127.0.0.3" : "127.0.0.4");
      if (conn.valid() && wait_peer_closed(conn.get(), seconds_from_now(10))) ++closed;
      std::this_thread::sleep_for(10ms);
    }
    flood_over = true;
  });
  // Meanwhile the call carries data both ways, in rounds, until the flood is over.
  std::string to_dte_sent, to_dte_got, to_peer_sent, to_peer_got;
  // A failed round ends the rounds, not the test: the flood thread is joined in any case.
  for (uint32_t round = 0; round < 2 || !flood_over; ++round) {
    std::string down = random_bytes(2000, 2 * round + 1);
    std::string up = random_bytes(2000, 2 * round + 2);
    // The two directions keep apart: the peer's bytes go first, then the DTE's.
    to_dte_sent += down;
    if (!send_all(caller.get(), down)) break;
    to_dte_got += m.d.serial_read_until(down, seconds_from_now(10));
    to_peer_sent += up;
    if (!m.d.serial_write(up)) break;
    to_peer_got += recv_until(caller.get(), up, seconds_from_now(10));
    if (to_dte_got.size() != to_dte_sent.size() || to_peer_got.size() != to_peer_sent.size()) {
      break;
    }
  }
  flood.join();
  EXPECT_EQ(closed.load(), kFlood);
  EXPECT_TRUE(to_dte_got == to_dte_sent) << first_difference(to_dte_got, to_dte_sent);
  EXPECT_TRUE(to_peer_got == to_peer_sent) << first_difference(to_peer_got, to_peer_sent);

  // Every connection is in the log, most of them only in a count that comes when its period
  // of 10 s is over.
  steady_deadline deadline = seconds_from_now(30);
  turned_away_lines t = count_turned_away(m.d);
  while (t.single + t.counted < kFlood && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(200ms);
    t = count_turned_away(m.d);
  }
  printf(
      "flood of %d connections: %d single lines, %d summary lines counting %ld, %zu bytes each "
      "way\n",
      kFlood, t.single, t.summaries, t.counted, to_dte_sent.size());
  EXPECT_EQ(t.single + t.counted, kFlood) << m.d.log_text();
  EXPECT_GE(t.summaries, 1);
  EXPECT_LE(t.single + t.summaries, 40) << m.d.log_text();
  EXPECT_FALSE(m.d.has_log("TCP connection to 127.0.0.2 closed: reconnect"));
  // The call is still up.
  ASSERT_TRUE(send_all(caller.get(), "after the flood"));
  EXPECT_TRUE(serial_gets(m.d, "after the flood"));
  stop_modem(m);
}

}  // namespace
