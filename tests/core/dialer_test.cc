// Dials to host names in the simulated world: the lookup and the attempts in virtual time.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "loop_fixture.h"

namespace {

constexpr const char* NAME = "ROUTER7.EXAMPLE.NET";

// Dials rule 7, which names NAME, with S7 = 2.
void dial_name(loop_fixture& f) {
  f.configure([](modem_settings& s) { s.sreg_conn_tout = 2; });
  ASSERT_EQ(subst_add_line(f.ms().subst_table, f.ms().subst_count, std::string("D7:") + NAME, 1),
            SUBST_ACCEPTED);
  f.type_line("ATD7");
  f.pass();
}

// IPv6 first, then the families by turns, one more attempt every 250 ms while none has
// connected; the first to connect carries the call and the others are closed at once.
TEST(Dialer, FamiliesTakeTurnsEvery250MsAndTheFirstConnectionWins) {
  loop_fixture f;
  log_capture log;
  f.world().names[NAME] = {
      .addresses = {ipv4("192.0.2.1"), ipv4("192.0.2.2"), ipv4("2001:db8::1"), ipv4("2001:db8::2")},
      .delay = 40 * MSEC};
  dial_name(f);
  const char* order[] = {"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2"};
  for (size_t i = 0; i < 4; ++i) {
    ASSERT_TRUE(f.run_until([&] { return f.world().dials().size() == i + 1; }));
    EXPECT_EQ(f.now(), 40 * MSEC + static_cast<int64_t>(i) * 250 * MSEC);
    EXPECT_STREQ(addr_text(f.last_dial()->addr), order[i]);
  }
  auto winner = f.world().dials()[1];
  sim_world::finish_connect(*winner, 0);
  winner->send("X");
  ASSERT_TRUE(f.run_until([&] { return f.ms().online == 1; }));
  for (const auto& d : f.world().dials()) EXPECT_EQ(d->closed, d != winner);
  EXPECT_EQ(f.dte_read(), "ATD7\r\nCONNECT 115200\r\n");
  EXPECT_TRUE(log.has(5, "TCP connection to ROUTER7.EXAMPLE.NET (192.0.2.1) established"));
}

// The ways a dial to a name fails, each at its exact time; nothing is left open.
TEST(Dialer, DialsThatEnd) {
  const net_address far = ipv4("192.0.2.1");
  struct end_case {
    sim_name answer;
    bool sandbox;      // ORVANED_DIAL_LOOPBACK_ONLY
    int refuse;        // errno refusing every attempt, 0 = no attempt completes
    int64_t dtr_drop;  // µs after the dial at which DTR drops (&D2), -1 = never
    const char* reply;
    int64_t ended_at;  // µs after the dial
    const char* log_line;
  } cases[] = {
      // clang-format off
      {{}, false, 0, -1, "NO ANSWER", 0,
       "host name ROUTER7.EXAMPLE.NET not resolved: Domain name not found"},
      {{.never = true}, false, 0, -1, "NO ANSWER", 2 * SEC,
       "host name ROUTER7.EXAMPLE.NET not resolved: timeout"},
      // S7 counts from the dial, through the lookup and the connection.
      {{.addresses = {far}, .delay = 1500 * MSEC}, false, 0, -1, "NO ANSWER", 2 * SEC,
       "TCP connection to ROUTER7.EXAMPLE.NET failed: timeout"},
      // DTR is read once a pass: the first pass after the drop ends the lookup.
      {{.never = true}, false, 0, 700 * MSEC, "NO CARRIER", 1700 * MSEC,
       "TCP connection to ROUTER7.EXAMPLE.NET failed: DTR drop"},
      {{.addresses = {far, ipv4("::1")}}, false, ECONNREFUSED, -1, "NO ANSWER", 0,
       "TCP connection to ROUTER7.EXAMPLE.NET failed: Connection refused"},
      {{.addresses = {far}}, true, 0, -1, "NO ANSWER", 0,
       "host name ROUTER7.EXAMPLE.NET not resolved: no address on this machine (sandbox)"},
      // clang-format on
  };
  for (const end_case& c : cases) {
    SCOPED_TRACE(c.log_line);
    loop_fixture f;
    log_capture log;
    f.ms().paths.dial_loopback_only = c.sandbox;
    f.world().names[NAME] = c.answer;
    dial_name(f);
    if (c.dtr_drop >= 0) {
      f.run_for(c.dtr_drop);
      f.world().dte_dtr = false;
    }
    ASSERT_TRUE(f.run_until([&] {
      for (const auto& d : f.world().dials()) {
        if (c.refuse != 0 && d->connect_error == -1) sim_world::finish_connect(*d, c.refuse);
      }
      return f.ms().call_state == CALL_IDLE;
    }));
    EXPECT_EQ(f.now(), c.ended_at);
    EXPECT_EQ(f.dte_read(), std::string("ATD7\r\n") + c.reply + "\r\n");
    EXPECT_TRUE(log.has(c.log_line));
    EXPECT_EQ(f.world().open_fds().size(), 1u);  // the serial line only
    f.world().dte_dtr = true;
    f.type_line("AT");
    f.pass();
    EXPECT_EQ(f.dte_read(), "AT\r\nOK\r\n");
  }
}

// A hosts file or resolver configuration that is not a regular file (a FIFO, a device) is named
// and read as missing: the dial never waits on it.
TEST(Dialer, ResolverFilesThatAreNotRegularFilesCountAsMissing) {
  loop_fixture f;
  log_capture log;
  const std::string& hosts = f.ms().paths.hosts;
  const std::string& conf = f.ms().paths.resolv_conf;
  ASSERT_EQ(unlink(conf.c_str()), 0);
  ASSERT_EQ(mkfifo(hosts.c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", conf.c_str()), 0);
  dial_name(f);
  EXPECT_EQ(f.ms().call_state, CALL_IDLE);
  EXPECT_EQ(f.dte_read(), "ATD7\r\nNO ANSWER\r\n");
  EXPECT_TRUE(log.has(4, "hosts file " + hosts + " is not a regular file: read as missing"));
  EXPECT_TRUE(
      log.has(4, "resolver configuration " + conf + " is not a regular file: read as missing"));
  EXPECT_TRUE(log.has(4, "host name ROUTER7.EXAMPLE.NET not resolved: no name servers"));
}

}  // namespace
