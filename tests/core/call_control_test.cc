// Call control inside one process: outgoing and incoming calls over loopback TCP, the commands
// that act on calls in each state, quiet mode and keepalive.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "config/settings.h"
#include "loop_fixture.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const uint32_t LOCALHOST = htonl(INADDR_LOOPBACK);

bool readable_within(int fd, double seconds) {
  pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
  return poll(&p, 1, static_cast<int>(seconds * 1000)) == 1;
}

// Accepts the daemon's outgoing connection on a test listener.
unique_fd accept_within(int listener, double seconds = 5.0) {
  if (!readable_within(listener, seconds)) return unique_fd();
  return unique_fd(accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
}

// Everything that arrives on `fd` within `seconds`, stopping early at end of stream (*eof).
std::string read_for(int fd, double seconds, bool* eof = nullptr) {
  std::string out;
  auto deadline = steady_clock::now() + std::chrono::duration<double>(seconds);
  while (steady_clock::now() < deadline) {
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0) {
      if (eof != nullptr) *eof = true;
      break;
    } else {
      readable_within(fd, 0.02);
    }
  }
  return out;
}

bool eof_within(int fd, double seconds = 5.0) {
  bool eof = false;
  read_for(fd, seconds, &eof);
  return eof;
}

void write_all(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool nonblocking(int fd) { return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }

// Runs passes, gathering DTE output, until `expected` has been seen or time runs out.
std::string dte_until(loop_fixture& f, const std::string& expected, double seconds = 5.0) {
  std::string got;
  f.run_until([&] { return (got += f.dte_read()).find(expected) != std::string::npos; }, seconds);
  return got;
}

// A loopback port with a socket bound to it but nobody listening: connects are refused.
struct refusing_port {
  unique_fd sock{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  uint16_t port = 0;
  refusing_port() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    getsockname(sock.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
  }
};

// An incoming call from 127.0.0.1 that has rung once; returns the caller.
unique_fd ringing_call(loop_fixture& f) {
  if (!f.ms().listen_sock.valid()) f.listen_for_calls();
  unique_fd caller = f.connect_caller();
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }));
  return caller;
}

// An incoming call answered with ATA (S0 = 0); the caller has read the answer byte and the
// DTE's output so far has been consumed.
unique_fd answered_call(loop_fixture& f) {
  unique_fd caller = ringing_call(f);
  f.type_line("ATA");
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
  EXPECT_EQ(read_for(caller.get(), 0.1), "X");
  f.dte_read();
  return caller;
}

// Leaves data mode with the escape sequence (S12 must be small); returns the DTE's output.
std::string escape_to_command_mode(loop_fixture& f) {
  f.dte_write("+++");
  EXPECT_TRUE(f.run_until([&] { return f.ms().online == 0; }));
  return f.dte_read();
}

// ATZ reloads the settings file: give it one holding the fixture's settings.
void save_fixture_settings(loop_fixture& f) {
  std::filesystem::path path = f.ms().paths.settings;
  std::filesystem::create_directories(path.parent_path());
  write_file(path, settings_format(f.ms().settings));
}

TEST(CallControl, OutgoingCallConnectsAndCarriesData) {
  loop_fixture f;
  log_capture log;
  unique_fd callee_listener = f.listen_as_callee();

  f.type_line("ATD127000000001");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_DIALING; }));
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);
  EXPECT_TRUE(nonblocking(f.ms().dial_sock.get()));

  // Typed while dialling: read and thrown away, never echoed nor interpreted.
  f.dte_write("ATH\rAT");
  ASSERT_TRUE(f.run_until([&] { return f.ls().dial_connected == 1; }));
  EXPECT_EQ(f.ms().call_state, CALL_DIALING);
  EXPECT_EQ(f.ms().cmd_len, 0);
  EXPECT_TRUE(log.has(5, "TCP connection to 127.0.0.1 established"));

  unique_fd callee = accept_within(callee_listener.get());
  ASSERT_TRUE(callee.valid());
  // The byte after the answer byte is user data.
  write_all(callee.get(), "Xy");
  std::string dte = dte_until(f, "CONNECT 115200\r\ny");
  EXPECT_EQ(dte, "ATD127000000001\r\nCONNECT 115200\r\ny");
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_TRUE(f.lines().modem_dtr);
  EXPECT_EQ(f.ms().dial_sock.get(), -1);
  ASSERT_TRUE(f.ms().data_sock.valid());
  EXPECT_TRUE(nonblocking(f.ms().data_sock.get()));

  std::vector<std::string> expected = {"Trying to connect to 127.0.0.1",
                                       "TCP connection to 127.0.0.1 established",
                                       "peer is connected", "going on-line (data mode)"};
  std::vector<std::string> seen;
  for (const std::string& text : log.texts()) {
    for (const std::string& e : expected) {
      if (text == e) seen.push_back(text);
    }
  }
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(log.has(6, "Trying to connect to 127.0.0.1"));
  EXPECT_TRUE(log.has(6, "peer is connected"));

  f.dte_write("to callee");
  std::string at_callee;
  f.run_with([&] { at_callee = read_for(callee.get(), 0.5); });
  EXPECT_EQ(at_callee, "to callee");
  write_all(callee.get(), "to dte");
  EXPECT_EQ(dte_until(f, "to dte"), "to dte");
}

TEST(CallControl, RefusedConnectIsNoAnswer) {
  loop_fixture f;
  log_capture log;
  refusing_port refusing;
  f.ms().settings.port = refusing.port;
  f.lines().modem_dtr = true;  // a failed attempt leaves the modem's DTR alone

  f.type_line("ATD127000000001");
  std::string dte = dte_until(f, "NO ANSWER\r\n");
  EXPECT_EQ(dte, "ATD127000000001\r\nNO ANSWER\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: Connection refused"));
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_EQ(f.ms().peer_addr, 0u);
  EXPECT_EQ(f.ms().dial_sock.get(), -1);
  EXPECT_TRUE(f.lines().modem_dtr);

  // The modem is ready for the next command.
  f.type_line("AT");
  EXPECT_EQ(dte_until(f, "OK\r\n"), "AT\r\nOK\r\n");
}

TEST(CallControl, UnansweredDialTimesOutAfterS7) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 1; });
  unique_fd callee_listener = f.listen_as_callee();
  f.lines().modem_dtr = true;

  auto start = steady_clock::now();
  f.type_line("ATD127000000001");
  ASSERT_TRUE(f.run_until([&] { return f.ls().dial_connected == 1; }));
  unique_fd callee = accept_within(callee_listener.get());
  ASSERT_TRUE(callee.valid());
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }, 10.0));
  auto took = steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(500));
  EXPECT_LT(took, milliseconds(5000));
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nNO ANSWER\r\n");
  EXPECT_TRUE(log.has(5, "TCP connection to 127.0.0.1 established"));
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: timeout"));
  EXPECT_EQ(f.ms().peer_addr, 0u);
  EXPECT_TRUE(f.lines().modem_dtr);
  // The callee sees the caller give up.
  EXPECT_TRUE(eof_within(callee.get()));
}

TEST(CallControl, ZeroS7FailsInThePassOfTheDial) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 0; });
  unique_fd callee_listener = f.listen_as_callee();
  f.type_line("ATD127000000001");
  ASSERT_TRUE(event_loop_pass(f.ms(), f.ls()));
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nNO ANSWER\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: timeout"));
  EXPECT_EQ(f.ms().dial_sock.get(), -1);
}

TEST(CallControl, CalleeClosingBeforeTheAnswerIsBusy) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 30; });
  unique_fd callee_listener = f.listen_as_callee();
  f.lines().modem_dtr = true;

  f.type_line("ATD127000000001");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_DIALING; }));
  unique_fd callee = accept_within(callee_listener.get());
  ASSERT_TRUE(callee.valid());
  callee.reset();
  // Well before the 30 s of S7.
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }, 10.0));
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nBUSY\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: peer shutdown"));
  EXPECT_EQ(f.ms().peer_addr, 0u);
  EXPECT_EQ(f.ms().dial_sock.get(), -1);
  EXPECT_TRUE(f.lines().modem_dtr);
}

TEST(CallControl, IncomingCallRingsAndIsAnsweredWithAta) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) {
    s.sreg_ring_int = 1;
    s.sreg_auto_answer = 0;
  });
  f.listen_for_calls();
  unique_fd caller = f.connect_caller();

  // The first RING goes out in the pass of the accept.
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }));
  EXPECT_EQ(f.ms().ring_count, 1u);
  EXPECT_EQ(f.dte_read(), "RING\r\n");
  EXPECT_TRUE(log.has(5, "TCP connection from 127.0.0.1 established"));
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);

  // Bytes from the caller before the answer are thrown away.
  write_all(caller.get(), "early");

  std::vector<steady_clock::time_point> rings = {steady_clock::now()};
  std::string dte;
  ASSERT_TRUE(f.run_until(
      [&] {
        dte += f.dte_read();
        if (f.ms().ring_count > rings.size()) rings.push_back(steady_clock::now());
        return f.ms().ring_count >= 4;
      },
      12.0));
  EXPECT_EQ(dte, "RING\r\nRING\r\nRING\r\n");
  EXPECT_EQ(dte.find("early"), std::string::npos);
  ASSERT_EQ(rings.size(), 4u);
  for (size_t i = 1; i < rings.size(); ++i) {
    EXPECT_LT(rings[i] - rings[i - 1], milliseconds(3000)) << "gap before ring " << i + 1;
  }
  // Whole monotonic seconds: three intervals can never take less than a second.
  EXPECT_GE(rings[3] - rings[0], milliseconds(1000));

  f.type_line("ATA");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
  EXPECT_EQ(read_for(caller.get(), 0.3), "X");
  EXPECT_EQ(f.dte_read(), "ATA\r\nCONNECT 115200\r\n");
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_TRUE(f.lines().modem_dtr);
  EXPECT_EQ(f.ms().ring_sock.get(), -1);
  ASSERT_TRUE(f.ms().data_sock.valid());
  EXPECT_TRUE(nonblocking(f.ms().data_sock.get()));
  EXPECT_EQ(f.ms().ring_count, 4u);

  // Only what the caller sends after the answer reaches the DTE.
  write_all(caller.get(), "late");
  EXPECT_EQ(dte_until(f, "late"), "late");
}

TEST(CallControl, AutoAnswerAfterS0RingsAndAtaRefused) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.sreg_ring_int = 1;
    s.sreg_auto_answer = 2;
  });
  unique_fd caller = ringing_call(f);
  EXPECT_EQ(f.dte_read(), "RING\r\n");

  // ATA with auto-answer on is refused; the call keeps ringing.
  f.type_line("ATA");
  ASSERT_TRUE(event_loop_pass(f.ms(), f.ls()));
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);
  std::string dte = f.dte_read();
  EXPECT_EQ(dte.substr(0, 12), "ATA\r\nERROR\r\n");

  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }, 8.0));
  dte += f.dte_read();
  EXPECT_EQ(dte, "ATA\r\nERROR\r\nRING\r\nCONNECT 115200\r\n");
  EXPECT_EQ(f.ms().ring_count, 2u);
  EXPECT_EQ(read_for(caller.get(), 0.3), "X");
}

TEST(CallControl, CallerGivingUpWhileRingingIsNoCarrier) {
  loop_fixture f;
  log_capture log;
  unique_fd caller = ringing_call(f);
  f.dte_read();
  f.lines().modem_dtr = true;
  caller.reset();
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: peer shutdown"));
  EXPECT_EQ(f.ms().peer_addr, 0u);
  EXPECT_EQ(f.ms().ring_sock.get(), -1);
  EXPECT_FALSE(f.lines().modem_dtr);
}

// A caller that sends a lot before giving up: its bytes are dropped a buffer at a time, so its
// hang-up is seen within a few passes, not one pass per byte.
TEST(CallControl, CallerSendingWhileRingingIsDrainedInFewPasses) {
  loop_fixture f;
  unique_fd caller = ringing_call(f);
  f.dte_read();
  write_all(caller.get(), std::string(16 * 1024, 'x'));
  caller.reset();
  int passes = 0;
  while (f.ms().call_state == CALL_RINGING && passes < 100) {
    ASSERT_TRUE(event_loop_pass(f.ms(), f.ls()));
    ++passes;
  }
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_LE(passes, 40);
  EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
}

TEST(CallControl, SecondCallerFromAnotherAddressIsRejected) {
  for (bool connected : {false, true}) {
    SCOPED_TRACE(connected ? "connected" : "ringing");
    loop_fixture f;
    log_capture log;
    unique_fd first = connected ? answered_call(f) : ringing_call(f);
    f.dte_read();
    call_state before = f.ms().call_state;
    int first_sock = connected ? f.ms().data_sock.get() : f.ms().ring_sock.get();

    unique_fd second = f.connect_caller("127.0.0.2");
    ASSERT_TRUE(f.run_until([&] { return log.has(5, "TCP connection from 127.0.0.2 rejected"); }));
    EXPECT_TRUE(eof_within(second.get()));
    EXPECT_EQ(f.ms().call_state, before);
    EXPECT_EQ(f.ms().peer_addr, LOCALHOST);
    EXPECT_EQ(connected ? f.ms().data_sock.get() : f.ms().ring_sock.get(), first_sock);
    EXPECT_EQ(f.dte_read().find("NO CARRIER"), std::string::npos);

    if (connected) {
      write_all(first.get(), "still here");
      EXPECT_EQ(dte_until(f, "still here"), "still here");
    } else {
      f.type_line("ATA");
      ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
      EXPECT_EQ(read_for(first.get(), 0.3), "X");
    }
  }
}

TEST(CallControl, SameAddressReconnectingWhileConnectedRingsAgain) {
  loop_fixture f;
  log_capture log;
  unique_fd old_call = answered_call(f);
  unique_fd again = f.connect_caller("127.0.0.1");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }));
  EXPECT_EQ(f.dte_read(), "NO CARRIER\r\nRING\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: reconnect"));
  EXPECT_TRUE(eof_within(old_call.get()));
  EXPECT_FALSE(f.lines().modem_dtr);
  EXPECT_EQ(f.ms().ring_count, 1u);
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);
  EXPECT_EQ(f.ms().data_sock.get(), -1);
  EXPECT_EQ(f.ms().online, 0);

  f.type_line("ATA");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
  EXPECT_EQ(read_for(again.get(), 0.3), "X");
}

TEST(CallControl, SameAddressReconnectingWhileRingingKeepsRinging) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_ring_int = 30; });
  unique_fd old_call = ringing_call(f);
  EXPECT_EQ(f.dte_read(), "RING\r\n");
  f.lines().modem_dtr = true;

  unique_fd again = f.connect_caller("127.0.0.1");
  ASSERT_TRUE(
      f.run_until([&] { return log.has(6, "TCP connection to 127.0.0.1 closed: reconnect"); }));
  f.run_for(0.2);
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);
  EXPECT_TRUE(log.has(5, "TCP connection from 127.0.0.1 established"));
  // No NO CARRIER, and with S6 = 30 the ring cadence is kept: no fresh RING either.
  EXPECT_EQ(f.dte_read(), "");
  EXPECT_EQ(f.ms().ring_count, 1u);
  EXPECT_TRUE(f.lines().modem_dtr);
  EXPECT_TRUE(eof_within(old_call.get()));

  f.type_line("ATA");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
  EXPECT_EQ(read_for(again.get(), 0.3), "X");
}

TEST(CallControl, CallCommandsWithoutACall) {
  struct command_case {
    const char* line;
    int spoof_ok;
    const char* reply;
  };
  const command_case cases[] = {
      {"ATH", 0, "ATH\r\nERROR\r\n"}, {"ATO", 0, "ATO\r\nERROR\r\n"},
      {"ATA", 0, "ATA\r\nERROR\r\n"}, {"ATA", 1, "ATA\r\nOK\r\n"},
      {"ATH", 1, "ATH\r\nOK\r\n"},
  };
  for (const command_case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.line << " spoof_ok=" << c.spoof_ok);
    loop_fixture f;
    f.configure([&](modem_settings& s) { s.spoof_ok = static_cast<uint32_t>(c.spoof_ok); });
    f.type_line(c.line);
    std::string dte = dte_until(f, c.reply, 3.0);
    f.run_for(0.05);
    EXPECT_EQ(dte + f.dte_read(), c.reply);
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);
    EXPECT_EQ(f.ms().pending_action, ACTION_NONE);
  }
}

TEST(CallControl, CommandsWhileRinging) {
  loop_fixture f;
  log_capture log;
  unique_fd caller = ringing_call(f);
  f.dte_read();

  f.type_line("ATH");
  ASSERT_TRUE(event_loop_pass(f.ms(), f.ls()));
  EXPECT_EQ(f.dte_read(), "ATH\r\nERROR\r\n");
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);

  f.type_line("ATD127000000001");
  ASSERT_TRUE(event_loop_pass(f.ms(), f.ls()));
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nERROR\r\n");
  EXPECT_TRUE(log.has(7, "can't initiate connection to 127000000001"));
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);

  // The caller is still there and the call can be answered.
  EXPECT_FALSE(eof_within(caller.get(), 0.1));
  f.type_line("ATA");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
  EXPECT_EQ(read_for(caller.get(), 0.3), "X");
}

TEST(CallControl, HangUpAfterEscape) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  int peer = f.connect_call();
  f.dte_read();
  EXPECT_EQ(escape_to_command_mode(f), "OK\r\n");

  f.type_line("ATD127000000001");
  EXPECT_EQ(dte_until(f, "ERROR\r\n"), "ATD127000000001\r\nERROR\r\n");
  EXPECT_TRUE(log.has(7, "can't initiate connection to 127000000001"));
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);

  f.type_line("ATH");
  EXPECT_EQ(dte_until(f, "OK\r\n"), "ATH\r\nOK\r\n");
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_EQ(f.ms().peer_addr, 0u);
  EXPECT_EQ(f.ms().data_sock.get(), -1);
  EXPECT_FALSE(f.lines().modem_dtr);
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: ATH"));
  EXPECT_TRUE(log.has(6, "peer is disconnected"));
  EXPECT_TRUE(eof_within(peer));
}

TEST(CallControl, OnlineAgainAfterEscape) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  int peer = f.connect_call();
  f.dte_read();
  EXPECT_EQ(escape_to_command_mode(f), "OK\r\n");
  // With S11 = 0 the escape characters went to the peer before the guard time passed.
  EXPECT_EQ(read_for(peer, 0.1), "+++");
  log.clear();

  f.type_line("ATO");
  EXPECT_EQ(dte_until(f, "CONNECT 115200\r\n"), "ATO\r\nCONNECT 115200\r\n");
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_TRUE(log.has(6, "going on-line (data mode)"));
  EXPECT_FALSE(log.has("peer is connected"));
  f.dte_write("back");
  std::string got;
  f.run_with([&] { got = read_for(peer, 0.5); });
  EXPECT_EQ(got, "back");
}

TEST(CallControl, ResetWhileConnectedEndsTheCallSilently) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  save_fixture_settings(f);
  int peer = f.connect_call();
  f.dte_read();
  EXPECT_EQ(escape_to_command_mode(f), "OK\r\n");

  f.type_line("ATZ");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  f.run_for(0.1);
  EXPECT_EQ(f.dte_read(), "ATZ\r\nOK\r\n");
  EXPECT_FALSE(f.lines().modem_dtr);
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: ATZ"));
  EXPECT_EQ(f.ms().data_sock.get(), -1);
  EXPECT_TRUE(eof_within(peer));
}

TEST(CallControl, QuietModeSendsNoResultCodes) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) {
    s.stat_quiet = 1;
    s.stat_echo = 0;
    s.sreg_auto_answer = 2;
    s.sreg_ring_int = 1;
    s.sreg_esc_delay = 5;
  });

  std::string quiet_output;
  // Refused commands.
  f.type_line("ATA");
  f.type_line("ATH");
  f.run_for(0.1);

  // A refused dial, and a callee that closes before answering.
  {
    refusing_port refusing;
    f.ms().settings.port = refusing.port;
    f.type_line("ATD127000000001");
    ASSERT_TRUE(f.run_until(
        [&] { return log.has(6, "TCP connection to 127.0.0.1 failed: Connection refused"); }));
  }
  {
    unique_fd callee_listener = f.listen_as_callee();
    f.type_line("ATD127000000001");
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_DIALING; }));
    accept_within(callee_listener.get()).reset();
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: peer shutdown"));
  }

  // A caller that gives up while ringing.
  {
    unique_fd caller = ringing_call(f);
    EXPECT_EQ(f.ms().ring_count, 1u);
    caller.reset();
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: peer shutdown"));
  }

  // Auto-answer counts silent rings; the escape and ATH are silent too.
  {
    unique_fd caller = ringing_call(f);
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }, 8.0));
    EXPECT_EQ(f.ms().ring_count, 2u);
    EXPECT_EQ(read_for(caller.get(), 0.3), "X");
    EXPECT_TRUE(f.lines().modem_dtr);
    quiet_output += escape_to_command_mode(f);
    EXPECT_TRUE(log.has(6, "going off-line (command mode) due to escape sequence"));
    f.type_line("ATH");
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: ATH"));
    EXPECT_TRUE(eof_within(caller.get()));
  }

  // An outgoing call that connects, and one that times out.
  {
    unique_fd callee_listener = f.listen_as_callee();
    f.type_line("ATD127000000001");
    ASSERT_TRUE(f.run_until(
        [&] { return f.ms().call_state == CALL_DIALING && f.ls().dial_connected == 1; }));
    unique_fd callee = accept_within(callee_listener.get());
    write_all(callee.get(), "X");
    ASSERT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
    quiet_output += escape_to_command_mode(f);
    f.type_line("ATH");
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));

    f.configure([](modem_settings& s) { s.sreg_conn_tout = 0; });
    f.type_line("ATD127000000001");
    ASSERT_TRUE(
        f.run_until([&] { return log.has(6, "TCP connection to 127.0.0.1 failed: timeout"); }));
  }

  f.run_for(0.1);
  quiet_output += f.dte_read();
  EXPECT_EQ(quiet_output, "");
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
}

TEST(CallControl, KeepaliveOnlyWhenSetToOne) {
  for (uint32_t keepalive : {0u, 1u, 2u}) {
    SCOPED_TRACE(testing::Message() << "keepalive=" << keepalive);
    loop_fixture f;
    log_capture log;
    f.configure([&](modem_settings& s) {
      s.keepalive = keepalive;
      s.keepalive_time = 77;
      s.keepalive_intvl = 11;
      s.keepalive_probes = 4;
    });
    unique_fd caller = answered_call(f);
    ASSERT_TRUE(f.ms().data_sock.valid());
    int on = -1;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(f.ms().data_sock.get(), SOL_SOCKET, SO_KEEPALIVE, &on, &len), 0);
    EXPECT_EQ(on != 0, keepalive == 1);
    EXPECT_EQ(log.has(6, "TCP keepalive activated"), keepalive == 1);
    if (keepalive == 1) {
      int idle = 0;
      len = sizeof idle;
      ASSERT_EQ(getsockopt(f.ms().data_sock.get(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, &len), 0);
      EXPECT_EQ(idle, 77);
    }
  }
}

}  // namespace
