// Calls through the built daemon: two daemons calling each other, a test socket standing in for
// the far side (dialled or calling in), the forwarding delay, and the status files during a call.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e/call_helpers.h"

namespace {

using namespace std::chrono_literals;

constexpr std::string_view kRing = "RING\r\n";
constexpr std::string_view kNoAnswer = "NO ANSWER\r\n";

std::string every_byte_value() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  return bytes;
}

// Indices of the log lines with exactly this text.
std::vector<int> log_positions(const daemon_process& d, const std::string& text) {
  std::vector<int> at;
  std::vector<log_line> lines = d.log();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text == text) at.push_back(static_cast<int>(i));
  }
  return at;
}

// Waits until the log holds `count` lines with this text.
testing::AssertionResult wait_log_count(const daemon_process& d, const std::string& text,
                                        size_t count, double seconds) {
  steady_deadline deadline = seconds_from_now(seconds);
  while (log_positions(d, text).size() < count) {
    if (std::chrono::steady_clock::now() > deadline) {
      return testing::AssertionFailure()
             << "fewer than " << count << " log lines \"" << text << "\"; log:\n"
             << d.log_text();
    }
    std::this_thread::sleep_for(20ms);
  }
  return testing::AssertionSuccess();
}

// One recv() once data is there, or "" at the deadline.
std::string recv_once(int sock, steady_deadline deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd pfd{sock, POLLIN, 0};
  if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return "";
  char buf[256];
  ssize_t n = recv(sock, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

size_t count_of(const std::string& text, std::string_view part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// Reads RINGs into `seen` until it holds `count` of them; anything else on the line fails.
testing::AssertionResult read_rings(daemon_process& d, std::string& seen, size_t count,
                                    double seconds) {
  steady_deadline deadline = seconds_from_now(seconds);
  while (count_of(seen, kRing) < count && std::chrono::steady_clock::now() < deadline) {
    seen += d.serial_read_until(kRing, deadline);
  }
  std::string only_rings;
  for (size_t i = 0; i < count_of(seen, kRing); ++i) only_rings += kRing;
  if (count_of(seen, kRing) >= count && seen == only_rings) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "expected " << count << " RINGs, got " << testing::PrintToString(seen) << "; log:\n"
         << d.log_text();
}

// Types ATA and expects its echo and CONNECT; RINGs before them are allowed, since ringing
// runs on its own clock.
testing::AssertionResult answer_with_ata(modem& m) {
  if (!m.d.serial_write("ATA\r")) return testing::AssertionFailure() << "cannot type ATA";
  const std::string expected = "ATA\r\n" + std::string(kConnect);
  std::string got = m.d.serial_read_until(expected, seconds_from_now(5));
  std::string rest = got;
  while (rest.rfind(kRing, 0) == 0) rest.erase(0, kRing.size());
  if (rest == expected) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "after ATA got " << testing::PrintToString(got) << "; log:\n"
         << m.d.log_text();
}

// Asks for the status files with SIGUSR1 and returns status_c once it is complete (status_c is
// written last, so the other two are complete by then as well).
std::string request_status(modem& m) {
  const std::string call_file = m.box.path("/var/orvane/status_c");
  for (const char* name : {"status_f", "status_s", "status_c"}) {
    unlink(m.box.path(std::string("/var/orvane/") + name).c_str());
  }
  EXPECT_TRUE(m.d.send_signal(SIGUSR1));
  steady_deadline deadline = seconds_from_now(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string text = read_file(call_file);
    if (std::count(text.begin(), text.end(), '\n') >= 2) return text;
    std::this_thread::sleep_for(20ms);
  }
  ADD_FAILURE() << "no status_c after SIGUSR1; log:\n" << m.d.log_text();
  return read_file(call_file);
}

// Types "+++" on a connected DTE and waits for the escape to command mode.
testing::AssertionResult escape_to_command_mode(modem& m, size_t nth_escape) {
  if (!m.d.serial_write("+++")) return testing::AssertionFailure() << "cannot type +++";
  testing::AssertionResult ok = serial_gets(m.d, "OK\r\n", 10);
  if (!ok) return ok;
  return wait_log_count(m.d, "going off-line (command mode) due to escape sequence", nth_escape, 5);
}

TEST(Calls, TwoDaemonsCallEachOtherEscapeResumeHangUpAndStop) {
  modem a;
  modem b;
  use_call_settings(a.box);
  use_call_settings(b.box);
  // B watches DTR, which its pty cannot carry: said once, not at every pass of the calls.
  b.box.set("MOD_ORVANE_STAT_DTR_ACTION", "2");
  ASSERT_TRUE(start_modem(a));
  ASSERT_TRUE(start_modem(b));

  // A calls B; B's DTE answers with ATA.
  ASSERT_TRUE(connect_modems(a, b, true));
  EXPECT_TRUE(a.d.wait_log("Trying to connect to 127.0.0.1", seconds_from_now(5), 6));
  EXPECT_TRUE(a.d.wait_log("TCP connection to 127.0.0.1 established", seconds_from_now(5), 5));
  EXPECT_TRUE(a.d.wait_log("peer is connected", seconds_from_now(5), 6));
  EXPECT_TRUE(b.d.wait_log("TCP connection from 127.0.0.1 established", seconds_from_now(5), 5));
  EXPECT_TRUE(b.d.wait_log("going on-line (data mode)", seconds_from_now(5), 6));

  // Every byte value passes unchanged in both directions.
  const std::string bytes = every_byte_value();
  ASSERT_TRUE(a.d.serial_write(bytes));
  ASSERT_TRUE(serial_gets(b.d, bytes));
  ASSERT_TRUE(b.d.serial_write("reply from B\r\n"));
  ASSERT_TRUE(serial_gets(a.d, "reply from B\r\n"));

  // The escape returns A to command mode; the "+++" has already gone to B.
  ASSERT_TRUE(escape_to_command_mode(a, 1));
  EXPECT_TRUE(serial_gets(b.d, "+++"));
  // What B sends while A is in command mode is thrown away, not shown after ATO.
  ASSERT_TRUE(b.d.serial_write("lost while A is in command mode"));
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(serial_exchange(a.d, "AT\r", "AT\r\nOK\r\n"));
  ASSERT_TRUE(serial_exchange(a.d, "ATO\r", "ATO\r\n" + std::string(kConnect)));
  ASSERT_TRUE(b.d.serial_write("after ATO"));
  EXPECT_TRUE(serial_gets(a.d, "after ATO"));
  ASSERT_TRUE(a.d.serial_write("A is back"));
  EXPECT_TRUE(serial_gets(b.d, "A is back"));

  // ATH ends the call: OK for A, NO CARRIER for B.
  ASSERT_TRUE(escape_to_command_mode(a, 2));
  EXPECT_TRUE(serial_gets(b.d, "+++"));
  ASSERT_TRUE(serial_exchange(a.d, "ATH\r", "ATH\r\nOK\r\n"));
  EXPECT_TRUE(serial_gets(b.d, kNoCarrier, 10));
  EXPECT_TRUE(a.d.wait_log("TCP connection to 127.0.0.1 closed: ATH", seconds_from_now(5), 6));
  EXPECT_TRUE(
      b.d.wait_log("TCP connection to 127.0.0.1 closed: peer shutdown", seconds_from_now(5), 6));
  // Both are back in command mode.
  EXPECT_TRUE(serial_exchange(a.d, "AT\r", "AT\r\nOK\r\n"));
  EXPECT_TRUE(serial_exchange(b.d, "AT\r", "AT\r\nOK\r\n"));

  // The other way round: B calls A, which answers by itself after one ring.
  ASSERT_TRUE(serial_exchange(a.d, "ATS0=1\r", "ATS0=1\r\nOK\r\n"));
  ASSERT_TRUE(connect_modems(b, a, false));
  ASSERT_TRUE(a.d.serial_write("hello B"));
  EXPECT_TRUE(serial_gets(b.d, "hello B"));
  ASSERT_TRUE(b.d.serial_write("hello A"));
  EXPECT_TRUE(serial_gets(a.d, "hello A"));

  // A stops while connected: NO CARRIER on both DTEs, A exits with status 0.
  ASSERT_TRUE(a.d.send_signal(SIGTERM));
  EXPECT_TRUE(serial_gets(a.d, kNoCarrier, 10));
  EXPECT_EQ(a.d.wait_exit(seconds_from_now(15)), 0);
  EXPECT_TRUE(a.d.has_log("TCP connection to 127.0.0.1 closed: program termination", 6))
      << a.d.log_text();
  EXPECT_TRUE(a.d.has_log("received signal 15", 5)) << a.d.log_text();
  EXPECT_TRUE(serial_gets(b.d, kNoCarrier, 10));
  EXPECT_TRUE(wait_log_count(b.d, "TCP connection to 127.0.0.1 closed: peer shutdown", 2, 5));
  EXPECT_EQ(log_positions(b.d, "1ioctl error: Inappropriate ioctl for device").size(), 1u);
  stop_modem(b);
}

TEST(Calls, OutgoingCallsToATestPeer) {
  modem m;
  use_call_settings(m.box);
  ASSERT_TRUE(start_modem(m));
  unique_fd listener = listen_loopback(0);
  ASSERT_TRUE(listener.valid());
  ASSERT_TRUE(set_dial_port(m.box, m.d, local_port(listener.get())));

  {
    SCOPED_TRACE("answered by X, then data both ways, then the peer hangs up");
    ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
    unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
    ASSERT_TRUE(peer.valid()) << m.d.log_text();
    EXPECT_TRUE(m.d.wait_log("TCP connection to 127.0.0.1 established", seconds_from_now(5), 5));
    // No result before the answer.
    EXPECT_EQ(m.d.serial_read_for(300ms), "");
    // The answer byte and data in one segment: the caller takes one byte as the answer and the
    // rest as data.
    ASSERT_TRUE(send_all(peer.get(), "Xfirst data"));
    EXPECT_TRUE(serial_gets(m.d, std::string(kConnect) + "first data", 10));
    ASSERT_TRUE(m.d.serial_write("from the DTE"));
    EXPECT_EQ(recv_until(peer.get(), "from the DTE", seconds_from_now(5)), "from the DTE");
    peer.reset();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
    EXPECT_TRUE(
        m.d.wait_log("TCP connection to 127.0.0.1 closed: peer shutdown", seconds_from_now(5), 6));
  }
  {
    SCOPED_TRACE("nobody listens: the refusal arrives after the connect started");
    listener.reset();
    ASSERT_TRUE(
        serial_exchange(m.d, kDialLoopback, std::string(kDialLoopbackEcho) + "NO ANSWER\r\n", 10));
    EXPECT_TRUE(m.d.wait_log("TCP connection to 127.0.0.1 failed: Connection refused",
                             seconds_from_now(5), 6));
  }
  {
    SCOPED_TRACE("S7 runs out while the peer does not answer");
    listener = listen_loopback(0);
    ASSERT_TRUE(listener.valid());
    m.box.set("MOD_ORVANE_SREG_CONN_TOUT", "1");
    ASSERT_TRUE(set_dial_port(m.box, m.d, local_port(listener.get())));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
    unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
    ASSERT_TRUE(peer.valid());
    EXPECT_TRUE(serial_gets(m.d, kNoAnswer, 10));
    double waited = seconds_since(start);
    EXPECT_GE(waited, 0.5);
    EXPECT_LE(waited, 8.0);
    EXPECT_TRUE(
        m.d.wait_log("TCP connection to 127.0.0.1 failed: timeout", seconds_from_now(5), 6));
    EXPECT_TRUE(wait_peer_closed(peer.get(), seconds_from_now(5)));
  }
  {
    SCOPED_TRACE("the callee closes without answering: BUSY at once");
    m.box.set("MOD_ORVANE_SREG_CONN_TOUT", "30");
    ASSERT_TRUE(serial_exchange(m.d, "ATZ\r", "ATZ\r\nOK\r\n"));
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
    unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
    ASSERT_TRUE(peer.valid());
    peer.reset();
    EXPECT_TRUE(serial_gets(m.d, "BUSY\r\n", 10));
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_TRUE(
        m.d.wait_log("TCP connection to 127.0.0.1 failed: peer shutdown", seconds_from_now(5), 6));
    EXPECT_TRUE(serial_exchange(m.d, "AT\r", "AT\r\nOK\r\n"));
  }
  {
    SCOPED_TRACE("stopped while dialling");
    ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
    unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(wait_log_count(m.d, "TCP connection to 127.0.0.1 established", 4, 5));
    // Typing while a call is being set up is thrown away: no echo, no result.
    ASSERT_TRUE(m.d.serial_write("AT\r"));
    EXPECT_EQ(m.d.serial_read_for(500ms), "");
    ASSERT_TRUE(m.d.send_signal(SIGTERM));
    EXPECT_TRUE(serial_gets(m.d, kNoAnswer, 10));
    EXPECT_EQ(m.d.wait_exit(seconds_from_now(15)), 0);
    EXPECT_TRUE(m.d.has_log("received signal 15", 5)) << m.d.log_text();
    EXPECT_TRUE(wait_peer_closed(peer.get(), seconds_from_now(5)));
  }
}

TEST(Calls, IncomingCallsFromATestPeer) {
  modem m;
  use_call_settings(m.box);
  ASSERT_TRUE(start_modem(m));
  const int port = m.box.port();
  const std::string peer_shutdown = "TCP connection to 127.0.0.1 closed: peer shutdown";

  {
    SCOPED_TRACE("ringing, a rejected second caller, the answer, data, the caller hangs up");
    ASSERT_TRUE(serial_exchange(m.d, "ATS6=1\r", "ATS6=1\r\nOK\r\n"));
    unique_fd caller = connect_loopback(port);
    ASSERT_TRUE(caller.valid());
    std::string rings;
    ASSERT_TRUE(read_rings(m.d, rings, 1, 5));
    auto first_ring = std::chrono::steady_clock::now();
    EXPECT_TRUE(m.d.wait_log("TCP connection from 127.0.0.1 established", seconds_from_now(5), 5));
    // Bytes before the answer are read and thrown away while ringing.
    ASSERT_TRUE(send_all(caller.get(), "sent before the answer"));
    ASSERT_TRUE(read_rings(m.d, rings, 2, 5));
    EXPECT_LT(seconds_since(first_ring), 4.0);

    unique_fd second = connect_loopback(port, "127.0.0.2");
    ASSERT_TRUE(second.valid());
    EXPECT_TRUE(wait_peer_closed(second.get(), seconds_from_now(5)));
    EXPECT_TRUE(m.d.wait_log("TCP connection from 127.0.0.2 rejected", seconds_from_now(5), 5));
    // The first call rings on.
    ASSERT_TRUE(read_rings(m.d, rings, count_of(rings, kRing) + 1, 5));

    ASSERT_TRUE(answer_with_ata(m));
    EXPECT_EQ(recv_for(caller.get(), 500ms), "X");
    ASSERT_TRUE(send_all(caller.get(), "after the answer"));
    EXPECT_TRUE(serial_gets(m.d, "after the answer"));
    ASSERT_TRUE(m.d.serial_write("to the caller"));
    EXPECT_EQ(recv_until(caller.get(), "to the caller", seconds_from_now(5)), "to the caller");
    caller.reset();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
    EXPECT_TRUE(wait_log_count(m.d, peer_shutdown, 1, 5));
    EXPECT_TRUE(serial_exchange(m.d, "ATS6=30\r", "ATS6=30\r\nOK\r\n"));
  }
  {
    SCOPED_TRACE("the caller gives up while ringing");
    unique_fd caller = connect_loopback(port);
    ASSERT_TRUE(caller.valid());
    ASSERT_TRUE(serial_gets(m.d, kRing, 5));
    caller.reset();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
    EXPECT_TRUE(wait_log_count(m.d, peer_shutdown, 2, 5));
    EXPECT_TRUE(serial_exchange(m.d, "ATA\r", "ATA\r\nERROR\r\n"));
  }
  {
    SCOPED_TRACE("the peer resets the connection while the DTE is sending");
    unique_fd caller = connect_loopback(port);
    ASSERT_TRUE(caller.valid());
    int small = 4096;
    setsockopt(caller.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(serial_gets(m.d, kRing, 5));
    ASSERT_TRUE(answer_with_ata(m));
    EXPECT_EQ(recv_for(caller.get(), 300ms), "X");
    // The DTE sends until every buffer between it and the silent peer is full, so the daemon
    // holds bytes for the peer when the reset comes. 0x01 is ignored in command mode, so what
    // the port still holds after the hang-up is harmless.
    const std::string filler(65536, '\x01');
    const int master = m.box.master_fd();
    auto last_progress = std::chrono::steady_clock::now();
    steady_deadline flood_end = seconds_from_now(30);
    size_t flooded = 0;
    while (std::chrono::steady_clock::now() - last_progress < 500ms &&
           std::chrono::steady_clock::now() < flood_end) {
      ssize_t n = write(master, filler.data(), filler.size());
      if (n > 0) {
        flooded += static_cast<size_t>(n);
        last_progress = std::chrono::steady_clock::now();
      } else {
        pollfd pfd{master, POLLOUT, 0};
        poll(&pfd, 1, 50);
      }
    }
    ASSERT_GT(flooded, 0u);
    close_with_reset(caller);
    // More data after the reset.
    ASSERT_TRUE(m.d.serial_write(std::string(4096, '\x01')));
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 20));
    ASSERT_TRUE(wait_log_count(m.d, peer_shutdown, 3, 5));
    EXPECT_TRUE(m.d.alive()) << "the daemon died after the reset; log:\n" << m.d.log_text();
    // A receive error, if one was logged, comes before the hang-up.
    int reset_error = m.d.log_index("recv error: Connection reset by peer", 3);
    if (reset_error >= 0) {
      EXPECT_LT(reset_error, log_positions(m.d, peer_shutdown)[2]);
    }
    EXPECT_TRUE(serial_exchange(m.d, "AT\r", "AT\r\nOK\r\n", 20));
  }
  {
    SCOPED_TRACE("S10 ends a call without traffic");
    ASSERT_TRUE(serial_exchange(m.d, "ATS10=1\r", "ATS10=1\r\nOK\r\n"));
    unique_fd caller = connect_loopback(port);
    ASSERT_TRUE(caller.valid());
    ASSERT_TRUE(serial_gets(m.d, kRing, 5));
    ASSERT_TRUE(answer_with_ata(m));
    ASSERT_TRUE(send_all(caller.get(), "last traffic"));
    EXPECT_EQ(recv_for(caller.get(), 300ms), "X");
    ASSERT_TRUE(serial_gets(m.d, "last traffic"));
    auto last_traffic = std::chrono::steady_clock::now();
    EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 25));
    double idle = seconds_since(last_traffic);
    EXPECT_GE(idle, 8.0);
    EXPECT_LE(idle, 20.0);
    EXPECT_TRUE(
        m.d.wait_log("TCP connection to 127.0.0.1 closed: inactivity", seconds_from_now(5), 6));
    EXPECT_TRUE(wait_peer_closed(caller.get(), seconds_from_now(5)));
  }
  stop_modem(m);
}

TEST(Calls, ForwardingDelayGathersSerialBytes) {
  modem m;
  use_call_settings(m.box);
  ASSERT_TRUE(start_modem(m));
  unique_fd caller = connect_loopback(m.box.port());
  ASSERT_TRUE(caller.valid());
  ASSERT_TRUE(serial_gets(m.d, kRing, 5));
  ASSERT_TRUE(serial_exchange(m.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
  ASSERT_EQ(recv_for(caller.get(), 300ms), "X");

  // S11 = 0: every write reaches the peer on its own, before the next one is made.
  for (char c : std::string("abcde")) {
    ASSERT_TRUE(m.d.serial_write(std::string(1, c)));
    EXPECT_EQ(recv_once(caller.get(), seconds_from_now(2)), std::string(1, c));
  }

  ASSERT_TRUE(escape_to_command_mode(m, 1));
  EXPECT_EQ(recv_until(caller.get(), "+++", seconds_from_now(5)), "+++");
  ASSERT_TRUE(serial_exchange(m.d, "ATS11=300\r", "ATS11=300\r\nOK\r\n"));
  ASSERT_TRUE(serial_exchange(m.d, "ATO\r", "ATO\r\n" + std::string(kConnect)));

  // S11 = 300: five bytes 30 ms apart leave in one send about 300 ms after the last one.
  for (char c : std::string("12345")) {
    ASSERT_TRUE(m.d.serial_write(std::string(1, c)));
    std::this_thread::sleep_for(30ms);
  }
  auto last_byte = std::chrono::steady_clock::now() - 30ms;
  EXPECT_EQ(recv_once(caller.get(), last_byte + 150ms), "");
  EXPECT_EQ(recv_once(caller.get(), last_byte + 2s), "12345");

  caller.reset();
  EXPECT_TRUE(serial_gets(m.d, kNoCarrier, 10));
  stop_modem(m);
}

TEST(Calls, StatusFilesFollowTheCall) {
  modem m;
  use_call_settings(m.box);
  ASSERT_TRUE(start_modem(m));
  const std::string idle = "On-line  : No\nConnected: No\n";

  EXPECT_EQ(request_status(m), idle);
  std::string versions = read_file(m.box.path("/var/orvane/status_f"));
  EXPECT_EQ(versions.rfind("Router     : ", 0), 0u) << versions;
  EXPECT_NE(versions.find("\r\nUser Module: "), std::string::npos) << versions;
  // status_s holds exactly what AT&V shows between its echo and its OK.
  std::string report = read_file(m.box.path("/var/orvane/status_s"));
  ASSERT_TRUE(m.d.serial_write("AT&V\r"));
  std::string shown = m.d.serial_read_until("OK\r\n", seconds_from_now(5));
  ASSERT_EQ(shown.rfind("AT&V\r\n", 0), 0u) << shown;
  ASSERT_GE(shown.size(), 10u);
  EXPECT_EQ(report, shown.substr(6, shown.size() - 10));
  EXPECT_FALSE(report.empty());

  unique_fd caller = connect_loopback(m.box.port());
  ASSERT_TRUE(caller.valid());
  ASSERT_TRUE(serial_gets(m.d, kRing, 5));
  EXPECT_EQ(request_status(m), idle) << "while ringing";
  ASSERT_TRUE(serial_exchange(m.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
  EXPECT_EQ(request_status(m), "On-line  : Yes\nConnected: to 127.0.0.1\n");
  ASSERT_TRUE(escape_to_command_mode(m, 1));
  EXPECT_EQ(request_status(m), "On-line  : No\nConnected: to 127.0.0.1\n");
  ASSERT_TRUE(serial_exchange(m.d, "ATH\r", "ATH\r\nOK\r\n"));
  EXPECT_EQ(request_status(m), idle);
  EXPECT_TRUE(m.d.alive());
  stop_modem(m);
}

}  // namespace

namespace {

// A call each way between two daemons over IPv6: each one's dial rule 6 names [::1] and the
// other's port. The callee's allow list takes only ::1, so the call is seen as IPv6 throughout:
// in the logs, the status file and the allow list.
TEST(Calls, TwoDaemonsCallEachOtherOverIpv6) {
  modem a;
  modem b;
  for (modem* m : {&a, &b}) {
    use_call_settings(m->box);
    modem* other = m == &a ? &b : &a;
    m->box.set("MOD_ORVANE_CFG_SCRIPT",
               base64_of("D6:[::1]:" + std::to_string(other->box.port()) + "\n"));
    m->box.set("MOD_ORVANE_ALLOW", "::1/128");
  }
  ASSERT_TRUE(start_modem(a));
  ASSERT_TRUE(start_modem(b));
  struct {
    modem& caller;
    modem& callee;
  } ways[] = {{a, b}, {b, a}};
  size_t way = 0;
  for (const auto& w : ways) {
    SCOPED_TRACE(++way);
    ASSERT_TRUE(serial_exchange(w.caller.d, "ATD6\r", "ATD6\r\n"));
    ASSERT_TRUE(serial_gets(w.callee.d, kRing, 10));
    ASSERT_TRUE(serial_exchange(w.callee.d, "ATA\r", "ATA\r\n" + std::string(kConnect)));
    ASSERT_TRUE(serial_gets(w.caller.d, kConnect, 10));
    EXPECT_TRUE(w.caller.d.wait_log("TCP connection to ::1 established", seconds_from_now(5), 5));
    EXPECT_TRUE(w.callee.d.wait_log("TCP connection from ::1 established", seconds_from_now(5), 5));
    ASSERT_TRUE(w.caller.d.serial_write("over IPv6"));
    EXPECT_TRUE(serial_gets(w.callee.d, "over IPv6"));
    EXPECT_EQ(request_status(w.callee), "On-line  : Yes\nConnected: to ::1\n");
    ASSERT_TRUE(escape_to_command_mode(w.caller, 1));
    ASSERT_TRUE(serial_exchange(w.caller.d, "ATH\r", "ATH\r\nOK\r\n"));
    EXPECT_TRUE(serial_gets(w.callee.d, "+++" + std::string(kNoCarrier), 10));
  }
  stop_modem(a);
  stop_modem(b);
}

}  // namespace
