// Dials to host names in the simulated world: the lookup and the attempts in virtual time, the
// 250 ms turns between the families, and the ways such a dial ends.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "loop_fixture.h"

namespace {

constexpr const char* NAME = "ROUTER7.EXAMPLE.NET";

// A fixture whose dial rule 7 sends the call to NAME.
void dial_name(loop_fixture& f) {
  f.ms().subst_table[0] = {.type = SUBST_DIAL, .pattern = "7", .replacement = NAME};
  f.ms().subst_count = 1;
  f.type_line("ATD7");
}

// Two addresses of each family: IPv6 goes first, then the families take turns, one more
// attempt every 250 ms while none has connected; the first to connect carries the call and the
// others are closed at once.
TEST(Dialer, FamiliesTakeTurnsEvery250MsAndTheFirstConnectionWins) {
  loop_fixture f;
  log_capture log;
  f.world().names[NAME] = {
      .addresses = {ipv4("192.0.2.1"), ipv4("192.0.2.2"), ipv4("2001:db8::1"), ipv4("2001:db8::2")},
      .delay = 40 * MSEC};
  dial_name(f);
  f.pass();
  EXPECT_EQ(f.ms().call_state, CALL_DIALING);
  const char* order[] = {"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2"};
  const int64_t started_at[] = {40 * MSEC, 290 * MSEC, 540 * MSEC, 790 * MSEC};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(f.run_until([&] { return f.world().dials().size() == i + 1; }));
    EXPECT_EQ(f.now(), started_at[i]);
    EXPECT_STREQ(addr_text(f.last_dial()->addr), order[i]);
  }
  f.run_for(2 * SEC);
  EXPECT_EQ(f.world().dials().size(), 4u);

  auto winner = f.world().dials()[1];
  sim_world::finish_connect(*winner, 0);
  f.pass();
  EXPECT_TRUE(log.has(5, "TCP connection to ROUTER7.EXAMPLE.NET (192.0.2.1) established"));
  for (const auto& d : f.world().dials()) EXPECT_EQ(d->closed, d != winner);
  winner->send("X");
  ASSERT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  EXPECT_EQ(f.dte_read(), "ATD7\r\nCONNECT 115200\r\n");
  EXPECT_EQ(f.ms().peer_addr, ipv4("192.0.2.1"));
  winner->close();
  ASSERT_TRUE(f.run_until([&] { return f.ms().call_state == CALL_IDLE; }));
  EXPECT_TRUE(
      log.has(6, "TCP connection to ROUTER7.EXAMPLE.NET (192.0.2.1) closed: peer shutdown"));
}

// The ways a dial to a name fails, each at its exact time.
TEST(Dialer, DialsThatEnd) {
  struct end_case {
    const char* what;
    sim_name answer;
    bool sandbox = false;   // ORVANED_DIAL_LOOPBACK_ONLY
    int refuse = 0;         // errno with which every attempt is refused, 0 = none answers
    int64_t dtr_drop = -1;  // µs after the dial at which DTR drops (&D2)
    const char* reply;
    int64_t ended_at;  // µs after the dial
    const char* log_line;
  };
  const end_case cases[] = {
      {"unknown name",
       {},
       false,
       0,
       -1,
       "NO ANSWER",
       0,
       "host name ROUTER7.EXAMPLE.NET not resolved: Domain name not found"},
      {"no answer within S7",
       {.never = true},
       false,
       0,
       -1,
       "NO ANSWER",
       2 * SEC,
       "TCP connection to ROUTER7.EXAMPLE.NET failed: timeout"},
      {"S7 spans lookup and connection",
       {.addresses = {ipv4("192.0.2.1")}, .delay = 1500 * MSEC},
       false,
       0,
       -1,
       "NO ANSWER",
       2 * SEC,
       "TCP connection to ROUTER7.EXAMPLE.NET failed: timeout"},
      // DTR is read once a pass: the drop ends the dial in the first pass after it (the loop
      // waits a second at most).
      {"DTR drop while looking up",
       {.never = true},
       false,
       0,
       700 * MSEC,
       "NO CARRIER",
       1700 * MSEC,
       "TCP connection to ROUTER7.EXAMPLE.NET failed: DTR drop"},
      {"every address refuses",
       {.addresses = {ipv4("192.0.2.1"), ipv4("::1")}},
       false,
       ECONNREFUSED,
       -1,
       "NO ANSWER",
       0,
       "TCP connection to ROUTER7.EXAMPLE.NET failed: Connection refused"},
      {"sandbox keeps no address",
       {.addresses = {ipv4("192.0.2.1")}},
       true,
       0,
       -1,
       "NO ANSWER",
       0,
       "host name ROUTER7.EXAMPLE.NET not resolved: no address on this machine (sandbox)"},
  };
  for (const end_case& c : cases) {
    SCOPED_TRACE(c.what);
    loop_fixture f;
    log_capture log;
    f.configure([](modem_settings& s) { s.sreg_conn_tout = 2; });
    f.ms().paths.dial_loopback_only = c.sandbox;
    if (!c.answer.addresses.empty() || c.answer.never) f.world().names[NAME] = c.answer;
    dial_name(f);
    f.pass();
    int64_t dialled = f.now();
    if (c.dtr_drop >= 0) {
      f.run_for(c.dtr_drop);
      f.world().dte_dtr = false;
    }
    ASSERT_TRUE(f.run_until([&] {
      if (c.refuse != 0) {
        for (const auto& d : f.world().dials()) {
          if (d->connect_error == -1) sim_world::finish_connect(*d, c.refuse);
        }
      }
      return f.ms().call_state == CALL_IDLE;
    }));
    EXPECT_EQ(f.now() - dialled, c.ended_at);
    EXPECT_EQ(f.dte_read(), std::string("ATD7\r\n") + c.reply + "\r\n");
    EXPECT_TRUE(log.has(c.log_line));
    EXPECT_EQ(f.world().lookups_started, f.world().lookups_finished);
    EXPECT_EQ(f.world().open_fds().size(), 1u);  // the serial line only
    EXPECT_EQ(f.ms().peer_name[0], '\0');
    // The modem dials again.
    f.world().dte_dtr = true;
    f.type_line("AT");
    f.pass();
    EXPECT_EQ(f.dte_read(), "AT\r\nOK\r\n");
  }
}

// While a lookup waits the loop serves callers and the status request as in any pass.
TEST(Dialer, LoopServesOthersWhileLookingUp) {
  loop_fixture f;
  f.world().names[NAME] = {.never = true};
  f.listen_for_calls();
  std::filesystem::create_directories(f.ms().paths.status_dir);
  dial_name(f);
  f.pass();
  auto caller = f.call_in("192.0.2.9");
  f.ms().status_request = 1;
  f.pass();
  EXPECT_TRUE(caller->closed);  // rejected at once: a call is being set up
  EXPECT_EQ(f.ms().status_request, 0);
  EXPECT_TRUE(std::filesystem::exists(f.ms().paths.status_dir + "/status_f"));
  EXPECT_EQ(f.ms().call_state, CALL_DIALING);
}

}  // namespace
