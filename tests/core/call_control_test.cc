// Call control in the simulated world: outgoing and incoming calls, the commands that act on
// calls in each state, the ring cadence (S6), the set-up limit (S7), auto-answer (S0), quiet
// mode and keepalive.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <filesystem>
#include <string>
#include <vector>

#include "config/settings.h"
#include "config/subst_script.h"
#include "core/handshakes.h"
#include "loop_fixture.h"

namespace {

const net_address LOCALHOST = net_ipv4(INADDR_LOOPBACK);

// An incoming call from 127.0.0.1 that has rung once; returns the caller.
std::shared_ptr<sim_conn> ringing_call(loop_fixture& f) {
  if (!f.ms().listen_sock.valid()) f.listen_for_calls();
  auto caller = f.call_in();
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }, SEC));
  return caller;
}

// An incoming call answered with ATA (S0 = 0); the caller has read the answer byte and the
// DTE's output so far has been consumed.
std::shared_ptr<sim_conn> answered_call(loop_fixture& f) {
  auto caller = ringing_call(f);
  f.type_line("ATA");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(caller->take(), "X");
  f.dte_read();
  return caller;
}

// Leaves data mode with the escape sequence; returns the DTE's output.
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

// A dial rule's target decides the socket's family and the port; the configured port is used
// only when the rule names none.
TEST(CallControl, DialRuleTargetsChooseFamilyAndPort) {
  struct {
    const char* target;
    net_family family;
    const char* address;
    uint16_t port;
  } cases[] = {
      {"[2001:DB8::7]:2001", NET_IPV6, "2001:db8::7", 2001},
      {"[2001:DB8::7]", NET_IPV6, "2001:db8::7", 2100},
      {"010000000001:65535", NET_IPV4, "10.0.0.1", 65535},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    loop_fixture f;
    f.ms().settings.port = 2100;
    ASSERT_EQ(
        subst_add_line(f.ms().subst_table, f.ms().subst_count, std::string("D7:") + c.target, 1),
        SUBST_ACCEPTED);
    f.type_line("ATD7");
    f.pass();
    ASSERT_EQ(f.ms().call_state, CALL_DIALING);
    auto callee = f.last_dial();
    ASSERT_NE(callee, nullptr);
    EXPECT_EQ(callee->family, c.family);
    EXPECT_STREQ(addr_text(callee->addr), c.address);
    EXPECT_EQ(callee->port, c.port);
  }
}

TEST(CallControl, OutgoingCallConnectsAndCarriesData) {
  loop_fixture f;
  log_capture log;
  f.ms().settings.port = 2100;

  f.type_line("ATD127000000001");
  f.pass();
  ASSERT_EQ(f.ms().call_state, CALL_DIALING);
  auto callee = f.last_dial();
  ASSERT_NE(callee, nullptr);
  EXPECT_TRUE(net_same_host(callee->addr, LOCALHOST));
  EXPECT_EQ(callee->port, 2100);
  EXPECT_TRUE(callee->nonblocking);
  EXPECT_TRUE(net_same_host(f.ms().peer_addr, LOCALHOST));

  // Typed while dialling: read and thrown away, never echoed nor interpreted.
  f.dte_write("ATH\rAT");
  f.pass();
  EXPECT_EQ(f.dte().to_daemon, "");
  sim_world::finish_connect(*callee, 0);
  f.pass();
  EXPECT_EQ(f.ls().link.state, LINK_AWAITING_ANSWER);
  EXPECT_EQ(f.ms().call_state, CALL_DIALING);
  EXPECT_EQ(f.ms().cmd_len, 0);
  EXPECT_TRUE(log.has(5, "TCP connection to 127.0.0.1 established"));

  // The byte after the answer byte is user data.
  callee->send("Xy");
  ASSERT_TRUE(f.run_until([&] { return f.dte().from_daemon.ends_with("y"); }));
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nCONNECT 115200\r\ny");
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_TRUE(f.world().modem_dtr);
  EXPECT_EQ(f.world().conn_of(f.ls().link.sock.get()), callee);

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
  f.pass();
  EXPECT_EQ(callee->take(), "to callee");
  callee->send("to dte");
  f.pass();
  EXPECT_EQ(f.dte_read(), "to dte");
}

// A dial that cannot start, or whose connect fails, leaves the modem's DTR alone.
TEST(CallControl, FailedDials) {
  struct dial_case {
    const char* name;
    int socket_error;   // socket() fails
    int connect_error;  // connect() fails at once
    int later_error;    // the connect fails later (SO_ERROR)
    const char* reply;
    const char* log_line;
  };
  const dial_case cases[] = {
      {"refused", 0, 0, ECONNREFUSED, "NO ANSWER",
       "TCP connection to 127.0.0.1 failed: Connection refused"},
      {"no socket", EMFILE, 0, 0, "BUSY", "create socket error: Too many open files"},
      {"unreachable", 0, ENETUNREACH, 0, "BUSY", "connect socket error: Network is unreachable"},
  };
  for (const dial_case& c : cases) {
    SCOPED_TRACE(c.name);
    loop_fixture f;
    log_capture log;
    f.world().modem_dtr = true;
    f.world().socket_error_next = c.socket_error;
    f.world().connect_error_next = c.connect_error;
    f.type_line("ATD127000000001");
    f.pass();
    if (c.later_error != 0) {
      ASSERT_NE(f.last_dial(), nullptr);
      sim_world::finish_connect(*f.last_dial(), c.later_error);
      f.pass();
    }
    EXPECT_EQ(f.dte_read(), std::string("ATD127000000001\r\n") + c.reply + "\r\n");
    EXPECT_TRUE(log.has(c.log_line));
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);
    EXPECT_TRUE(net_address_empty(f.ms().peer_addr));
    EXPECT_EQ(f.ls().link.state, LINK_CLOSED);
    EXPECT_TRUE(f.world().modem_dtr);
    EXPECT_EQ(f.world().open_fds().size(), 1u);  // the serial line only

    // The modem is ready for the next command.
    f.type_line("AT");
    f.pass();
    EXPECT_EQ(f.dte_read(), "AT\r\nOK\r\n");
  }
}

// ORVANED_DIAL_LOOPBACK_ONLY (the sandbox): another machine's address is not dialled at all.
TEST(CallControl, LoopbackOnlyDialsThisMachineOnly) {
  loop_fixture f;
  log_capture log;
  f.ms().paths.dial_loopback_only = true;
  f.type_line("ATD192168001001");
  f.pass();
  EXPECT_EQ(f.dte_read(), "ATD192168001001\r\nNO ANSWER\r\n");
  EXPECT_EQ(f.last_dial(), nullptr);
  EXPECT_TRUE(net_address_empty(f.ms().peer_addr));
  EXPECT_TRUE(log.has(4, "sandbox: 192.168.1.1 is not on this machine; dialling only loopback"));
  f.type_line("ATD127000000002");
  f.pass();
  ASSERT_NE(f.last_dial(), nullptr);
  EXPECT_EQ(f.last_dial()->addr, ipv4("127.0.0.2"));
}

// S7 = 1: the attempt fails one second after the dial, to the microsecond.
TEST(CallControl, UnansweredDialTimesOutAfterS7) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 1; });
  f.world().modem_dtr = true;
  f.run_for(250 * MSEC);

  f.type_line("ATD127000000001");
  f.pass();
  int64_t dialled = f.now();
  auto callee = f.last_dial();
  ASSERT_NE(callee, nullptr);
  sim_world::finish_connect(*callee, 0);
  f.pass();
  EXPECT_TRUE(log.has(5, "TCP connection to 127.0.0.1 established"));
  f.run_for(SEC - 1);
  EXPECT_EQ(f.ms().call_state, CALL_DIALING);
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  EXPECT_EQ(f.now() - dialled, SEC);
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nNO ANSWER\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: timeout"));
  EXPECT_TRUE(net_address_empty(f.ms().peer_addr));
  EXPECT_TRUE(f.world().modem_dtr);
  EXPECT_TRUE(callee->closed);  // the callee sees the caller give up
}

TEST(CallControl, ZeroS7FailsInThePassOfTheDial) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 0; });
  f.type_line("ATD127000000001");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_EQ(f.now(), 0);
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nNO ANSWER\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: timeout"));
  EXPECT_EQ(f.ls().link.state, LINK_CLOSED);
}

// A DTR drop while an address is dialled does not end the dial: the call connects, and &D2 then
// ends it S25 after CONNECT if DTR is still down.
TEST(CallControl, DtrDownWhileAnAddressIsDialledEndsTheCallAfterConnect) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.stat_dtr_action = 2;
    s.sreg_dtr_ignore = 50;
  });
  f.type_line("ATD127000000001");
  f.pass();
  f.world().dte_dtr = false;
  f.run_for(2 * SEC);
  ASSERT_EQ(f.ms().call_state, CALL_DIALING);
  auto callee = f.last_dial();
  sim_world::finish_connect(*callee, 0);
  callee->send("X");
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
  int64_t connected_at = f.now();
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  EXPECT_EQ(f.now() - connected_at, 500 * MSEC);
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nCONNECT 115200\r\nNO CARRIER\r\n");
  EXPECT_TRUE(callee->closed);
}

TEST(CallControl, CalleeClosingBeforeTheAnswerIsBusy) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 30; });
  f.world().modem_dtr = true;

  f.type_line("ATD127000000001");
  f.pass();
  auto callee = f.last_dial();
  ASSERT_NE(callee, nullptr);
  sim_world::finish_connect(*callee, 0);
  f.pass();
  callee->close();
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nBUSY\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: peer shutdown"));
  EXPECT_TRUE(net_address_empty(f.ms().peer_addr));
  EXPECT_TRUE(callee->closed);
  EXPECT_TRUE(f.world().modem_dtr);
}

// S6 = 1: RING goes out once the caller's look is over and then on every whole second.
TEST(CallControl, IncomingCallRingsOnTheSecondAndIsAnsweredWithAta) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) {
    s.sreg_ring_int = 1;
    s.sreg_auto_answer = 0;
  });
  f.listen_for_calls();
  auto caller = f.call_in();
  f.run_for(RING_LOOK_USEC);
  ASSERT_EQ(f.ms().call_state, CALL_RINGING);
  EXPECT_EQ(f.ms().ring_count, 1u);
  EXPECT_EQ(f.dte_read(), "RING\r\n");
  EXPECT_TRUE(log.has(5, "TCP connection from 127.0.0.1 established"));
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);

  // Bytes from the caller before the answer are thrown away.
  caller->send("early");
  for (uint32_t ring = 2; ring <= 4; ++ring) {
    ASSERT_TRUE(f.run_until([&] { return f.ms().ring_count == ring; }));
    EXPECT_EQ(f.now(), (ring - 1) * SEC + RING_LOOK_USEC);
    EXPECT_EQ(f.dte_read(), "RING\r\n");
  }
  EXPECT_EQ(caller->to_daemon, "");

  f.type_line("ATA");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(caller->take(), "X");
  EXPECT_EQ(f.dte_read(), "ATA\r\nCONNECT 115200\r\n");
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_TRUE(f.world().modem_dtr);
  EXPECT_EQ(f.world().conn_of(f.ls().link.sock.get()), caller);
  EXPECT_EQ(f.ms().ring_count, 4u);

  // Only what the caller sends after the answer reaches the DTE.
  caller->send("late");
  f.pass();
  EXPECT_EQ(f.dte_read(), "late");
}

// S6 counts whole seconds of the monotonic clock: a call accepted half-way through a second
// rings again when the clock has passed two second boundaries (S6 = 2).
TEST(CallControl, RingCadenceFollowsWholeSeconds) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.sreg_ring_int = 2; });
  f.listen_for_calls();
  f.run_for(500 * MSEC - RING_LOOK_USEC);
  f.call_in();
  f.run_for(RING_LOOK_USEC);
  ASSERT_EQ(f.ms().ring_count, 1u);
  ASSERT_TRUE(f.run_until([&] { return f.ms().ring_count == 2; }));
  EXPECT_EQ(f.now(), 2500 * MSEC);
  ASSERT_TRUE(f.run_until([&] { return f.ms().ring_count == 3; }));
  EXPECT_EQ(f.now(), 4500 * MSEC);
}

TEST(CallControl, AutoAnswerAfterS0RingsAndAtaRefused) {
  loop_fixture f;
  f.configure([](modem_settings& s) {
    s.sreg_ring_int = 1;
    s.sreg_auto_answer = 2;
  });
  auto caller = ringing_call(f);
  EXPECT_EQ(f.dte_read(), "RING\r\n");

  // ATA with auto-answer on is refused; the call keeps ringing.
  f.type_line("ATA");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);
  EXPECT_EQ(f.dte_read(), "ATA\r\nERROR\r\n");

  // The answer comes in the pass right after the S0-th RING, at once, not a second later.
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
  EXPECT_EQ(f.now(), SEC + RING_LOOK_USEC);
  EXPECT_EQ(f.dte_read(), "RING\r\nCONNECT 115200\r\n");
  EXPECT_EQ(f.ms().ring_count, 2u);
  EXPECT_EQ(caller->take(), "X");
}

TEST(CallControl, CallerGivingUpWhileRingingIsNoCarrier) {
  for (bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "close");
    loop_fixture f;
    log_capture log;
    auto caller = ringing_call(f);
    f.dte_read();
    f.world().modem_dtr = true;
    if (reset) {
      caller->reset();
    } else {
      caller->close();
    }
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
    EXPECT_EQ(f.dte_read(), "NO CARRIER\r\n");
    EXPECT_TRUE(log.has(6, reset ? "TCP connection to 127.0.0.1 failed: recv error"
                                 : "TCP connection to 127.0.0.1 closed: peer shutdown"));
    EXPECT_EQ(log.has(3, "recv error: Connection reset by peer"), reset);
    EXPECT_TRUE(net_address_empty(f.ms().peer_addr));
    EXPECT_TRUE(caller->closed);
    EXPECT_FALSE(f.world().modem_dtr);
  }
}

// A caller that sends a lot before giving up: its bytes are dropped a buffer at a time, so its
// hang-up is seen within a few passes, not one pass per byte.
TEST(CallControl, CallerSendingWhileRingingIsDrainedInFewPasses) {
  loop_fixture f;
  auto caller = ringing_call(f);
  f.dte_read();
  caller->send(std::string(16 * 1024, 'x'));
  caller->close();
  int passes = 0;
  while (f.ms().call_state == CALL_RINGING && passes < 100) {
    f.pass();
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
    auto first = connected ? answered_call(f) : ringing_call(f);
    f.dte_read();
    call_state before = f.ms().call_state;
    int first_sock = f.ls().link.sock.get();

    auto second = f.call_in("127.0.0.2");
    f.pass();
    EXPECT_TRUE(log.has(5, "TCP connection from 127.0.0.2 rejected"));
    EXPECT_TRUE(second->closed);
    EXPECT_EQ(f.ms().call_state, before);
    EXPECT_EQ(f.ms().peer_addr, LOCALHOST);
    EXPECT_EQ(f.ls().link.sock.get(), first_sock);
    EXPECT_EQ(f.dte_read().find("NO CARRIER"), std::string::npos);

    if (connected) {
      first->send("still here");
      f.pass();
      EXPECT_EQ(f.dte_read(), "still here");
    } else {
      f.type_line("ATA");
      f.pass();
      EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
      EXPECT_EQ(first->take(), "X");
    }
  }
}

TEST(CallControl, SameAddressReconnectingWhileConnectedRingsAgain) {
  loop_fixture f;
  log_capture log;
  auto old_call = answered_call(f);
  auto again = f.call_in("127.0.0.1");
  f.run_for(RING_LOOK_USEC);
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);
  EXPECT_EQ(f.dte_read(), "NO CARRIER\r\nRING\r\n");
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: reconnect"));
  EXPECT_TRUE(old_call->closed);
  EXPECT_FALSE(f.world().modem_dtr);
  EXPECT_EQ(f.ms().ring_count, 1u);
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);
  EXPECT_EQ(f.world().conn_of(f.ls().link.sock.get()), again);
  EXPECT_EQ(f.ms().online, 0);

  f.type_line("ATA");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(again->take(), "X");
}

TEST(CallControl, SameAddressReconnectingWhileRingingKeepsRinging) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_ring_int = 30; });
  auto old_call = ringing_call(f);
  EXPECT_EQ(f.dte_read(), "RING\r\n");
  f.world().modem_dtr = true;

  auto again = f.call_in("127.0.0.1");
  f.run_for(RING_LOOK_USEC);
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: reconnect"));
  f.run_for(20 * SEC);
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);
  EXPECT_TRUE(log.has(5, "TCP connection from 127.0.0.1 established"));
  // No NO CARRIER, and with S6 = 30 the ring cadence is kept: no fresh RING either.
  EXPECT_EQ(f.dte_read(), "");
  EXPECT_EQ(f.ms().ring_count, 1u);
  EXPECT_TRUE(f.world().modem_dtr);
  EXPECT_TRUE(old_call->closed);
  ASSERT_TRUE(f.run_until([&] { return f.ms().ring_count == 2; }));
  EXPECT_EQ(f.now() / SEC, 30);

  f.type_line("ATA");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(again->take(), "X");
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
    f.pass();
    f.run_for(SEC);
    EXPECT_EQ(f.dte_read(), c.reply);
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);
    EXPECT_EQ(f.ms().pending_action, ACTION_NONE);
  }
}

// A dial that a later command of the same read replaces never starts, and takes its address
// with it: the next ATD dials. Each line keeps its own answer.
TEST(CallControl, DialReplacedInTheSameReadLeavesTheModemAbleToDial) {
  struct replaced_case {
    const char* follower;
    const char* reply;
  };
  const replaced_case cases[] = {
      {"ATH", "ATH\r\nERROR\r\n"},
      {"ATO", "ATO\r\nERROR\r\n"},
      {"ATA", "ATA\r\nERROR\r\n"},
      {"ATZ", "ATZ\r\nOK\r\n"},
  };
  for (const replaced_case& c : cases) {
    SCOPED_TRACE(c.follower);
    loop_fixture f;
    save_fixture_settings(f);
    f.dte_write(std::string("ATD127000000001\r") + c.follower + "\r");
    f.pass();
    EXPECT_EQ(f.dte_read(), std::string("ATD127000000001\r\n") + c.reply);
    EXPECT_EQ(f.last_dial(), nullptr);
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);

    f.type_line("ATD127000000001");
    f.pass();
    EXPECT_EQ(f.dte_read(), "ATD127000000001\r\n");
    EXPECT_EQ(f.ms().call_state, CALL_DIALING);
    EXPECT_NE(f.last_dial(), nullptr);
  }
}

TEST(CallControl, CommandsWhileRinging) {
  loop_fixture f;
  log_capture log;
  auto caller = ringing_call(f);
  f.dte_read();

  f.type_line("ATH");
  f.pass();
  EXPECT_EQ(f.dte_read(), "ATH\r\nERROR\r\n");
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);

  f.type_line("ATD127000000001");
  f.pass();
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nERROR\r\n");
  EXPECT_TRUE(log.has(7, "can't initiate connection to 127000000001"));
  EXPECT_EQ(f.ms().call_state, CALL_RINGING);
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);
  EXPECT_TRUE(f.world().dials().empty());

  // The caller is still there and the call can be answered.
  EXPECT_FALSE(caller->closed);
  f.type_line("ATA");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(caller->take(), "X");
}

TEST(CallControl, HangUpAfterEscape) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  auto peer = f.connect_call();
  f.dte_read();
  EXPECT_EQ(escape_to_command_mode(f), "OK\r\n");

  f.type_line("ATD127000000001");
  f.pass();
  EXPECT_EQ(f.dte_read(), "ATD127000000001\r\nERROR\r\n");
  EXPECT_TRUE(log.has(7, "can't initiate connection to 127000000001"));
  EXPECT_EQ(f.ms().call_state, CALL_CONNECTED);
  EXPECT_EQ(f.ms().peer_addr, LOCALHOST);

  f.type_line("ATH");
  f.pass();
  EXPECT_EQ(f.dte_read(), "ATH\r\nOK\r\n");
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_TRUE(net_address_empty(f.ms().peer_addr));
  EXPECT_EQ(f.ls().link.sock.get(), -1);
  EXPECT_FALSE(f.world().modem_dtr);
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: ATH"));
  EXPECT_TRUE(log.has(6, "peer is disconnected"));
  EXPECT_TRUE(peer->closed);
}

TEST(CallControl, OnlineAgainAfterEscape) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  auto peer = f.connect_call();
  f.dte_read();
  EXPECT_EQ(escape_to_command_mode(f), "OK\r\n");
  // With S11 = 0 the escape characters went to the peer before the guard time passed.
  EXPECT_EQ(peer->take(), "+++");
  log.clear();

  f.type_line("ATO");
  f.pass();
  EXPECT_EQ(f.dte_read(), "ATO\r\nCONNECT 115200\r\n");
  EXPECT_EQ(f.ms().online, 1);
  EXPECT_TRUE(log.has(6, "going on-line (data mode)"));
  EXPECT_FALSE(log.has("peer is connected"));
  f.dte_write("back");
  f.pass();
  EXPECT_EQ(peer->take(), "back");
}

TEST(CallControl, ResetWhileConnectedEndsTheCallSilently) {
  loop_fixture f;
  log_capture log;
  f.configure([](modem_settings& s) { s.sreg_esc_delay = 5; });
  save_fixture_settings(f);
  auto peer = f.connect_call();
  f.dte_read();
  EXPECT_EQ(escape_to_command_mode(f), "OK\r\n");

  f.type_line("ATZ");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_EQ(f.dte_read(), "ATZ\r\nOK\r\n");
  EXPECT_FALSE(f.world().modem_dtr);
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: ATZ"));
  EXPECT_EQ(f.ls().link.sock.get(), -1);
  EXPECT_TRUE(peer->closed);
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

  // Refused commands.
  f.type_line("ATA");
  f.type_line("ATH");
  f.pass();

  // A refused dial, and a callee that closes before answering.
  f.type_line("ATD127000000001");
  f.pass();
  sim_world::finish_connect(*f.last_dial(), ECONNREFUSED);
  f.pass();
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: Connection refused"));
  f.type_line("ATD127000000001");
  f.pass();
  sim_world::finish_connect(*f.last_dial(), 0);
  f.pass();
  f.last_dial()->close();
  f.pass();
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: peer shutdown"));

  // A caller that gives up while ringing.
  {
    auto caller = ringing_call(f);
    EXPECT_EQ(f.ms().ring_count, 1u);
    caller->close();
    f.pass();
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: peer shutdown"));
  }

  // Auto-answer counts silent rings; the escape and ATH are silent too.
  {
    auto caller = ringing_call(f);
    ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_CONNECTED; }));
    EXPECT_EQ(f.ms().ring_count, 2u);
    EXPECT_EQ(caller->take(), "X");
    EXPECT_TRUE(f.world().modem_dtr);
    escape_to_command_mode(f);
    EXPECT_TRUE(log.has(6, "going off-line (command mode) due to escape sequence"));
    f.type_line("ATH");
    f.pass();
    EXPECT_EQ(f.ms().call_state, CALL_IDLE);
    EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 closed: ATH"));
    EXPECT_TRUE(caller->closed);
  }

  // An outgoing call that connects, and one that times out.
  f.type_line("ATD127000000001");
  f.pass();
  sim_world::finish_connect(*f.last_dial(), 0);
  f.pass();
  f.last_dial()->send("X");
  f.pass();
  EXPECT_EQ(f.ms().online, 1);
  escape_to_command_mode(f);
  f.type_line("ATH");
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 0; });
  f.type_line("ATD127000000001");
  f.pass();
  EXPECT_TRUE(log.has(6, "TCP connection to 127.0.0.1 failed: timeout"));

  f.run_for(SEC);
  EXPECT_EQ(f.dte_read(), "");
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
    auto caller = answered_call(f);
    EXPECT_EQ(log.has(6, "TCP keepalive activated"), keepalive == 1);
    using option = std::pair<int, int>;
    std::map<option, int> expected;
    if (keepalive == 1) {
      expected = {{{SOL_SOCKET, SO_KEEPALIVE}, 1},
                  {{IPPROTO_TCP, TCP_KEEPIDLE}, 77},
                  {{IPPROTO_TCP, TCP_KEEPINTVL}, 11},
                  {{IPPROTO_TCP, TCP_KEEPCNT}, 4},
                  {{IPPROTO_TCP, 44}, 60500}};  // TCP_RTO_MAX_MS: half the span
    }
    EXPECT_EQ(caller->options, expected);
  }
}

// With no descriptor free, accept fails while a caller waits: the listening socket is left
// alone for 100 ms at a time (a level-4 line under the flood limit) instead of failing on every
// pass, and the caller rings once a descriptor is free.
TEST(CallControl, AcceptWithoutFreeDescriptorsPausesListening) {
  loop_fixture f;
  log_capture log;
  f.listen_for_calls();
  f.call_in();
  f.world().accept_error = EMFILE;
  int passes = 0;
  for (int64_t end = f.now() + SEC; passes < 1000 && f.now() < end; ++passes) f.pass();
  // Per pause: a pass that waits it out and one whose accept fails again.
  EXPECT_EQ(passes, 20);
  EXPECT_TRUE(log.has(4, "accept error: Too many open files; not accepting for 100 ms"));
  f.world().accept_error = 0;
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_RINGING; }, 200 * MSEC));
}

// Caller ID after RING, in both formats: the number is that of the first dial rule whose target
// is the caller (a rule to a name matches no caller), else the twelve digits of an IPv4 caller,
// else its address. The block comes after the first RING only, +CLIP after each.
TEST(CallControl, CallerIdAfterRingNamesTheCallerAsTheDteWouldDial) {
  const char* const cases[][2] = {{"192.168.1.7", "5551234"},
                                  {"2001:db8::8", "0800"},
                                  {"10.0.0.9", "010000000009"},
                                  {"2001:db8::9", "2001:db8::9"}};
  for (const auto& [source, number] : cases) {
    SCOPED_TRACE(source);
    loop_fixture f;
    f.configure([](modem_settings& s) { s.compat = s.caller_id = s.clip = 1; });
    ASSERT_EQ(
        subst_load_script(f.ms().subst_table, f.ms().subst_count,
                          "D7:ROUTER7.EXAMPLE.NET\nD555-1234:192168001007\nD0800:[2001:DB8::8]"),
        0);
    tm t{};
    ASSERT_TRUE(local_calendar_time(read_clocks().wall, t));
    char block[96];
    snprintf(block, sizeof block, "RING\r\n\r\nDATE = %02d%02d\r\nTIME = %02d%02d\r\nNMBR = %s\r\n",
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, number);
    std::string clip = "\r\n+CLIP: \"" + std::string(number) + "\",129\r\n";
    f.listen_for_calls();
    f.call_in(source);
    f.run_for(RING_LOOK_USEC);
    EXPECT_EQ(f.dte_read(), block + clip);
    ASSERT_TRUE(f.run_until([&] { return f.ms().ring_count == 2; }));
    EXPECT_EQ(f.dte_read(), "RING\r\n" + clip);
  }
}

// &C0 keeps the carrier line up without a call and across a hang-up. AT&F (&C1, the factory
// registers) keeps the call and its carrier.
TEST(CallControl, CarrierKeptUpWithC0AndFactoryProfileKeepsTheCall) {
  loop_fixture f;
  f.configure([](modem_settings& s) { s.compat = 1; });
  f.type_line("AT&C0");
  f.pass();
  EXPECT_TRUE(f.world().modem_dtr);
  f.connect_call();
  escape_to_command_mode(f);
  f.type_line("ATS7=60E0&F");
  f.type_line("ATO");
  EXPECT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  EXPECT_EQ(f.ms().settings.sreg_conn_tout, 30u);
  EXPECT_EQ(f.ms().settings.stat_echo, 1u);
  escape_to_command_mode(f);
  f.type_line("AT&C0H");
  EXPECT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  EXPECT_TRUE(f.world().modem_dtr);
  f.type_line("AT&C1");
  f.pass();
  EXPECT_FALSE(f.world().modem_dtr);
}

}  // namespace
