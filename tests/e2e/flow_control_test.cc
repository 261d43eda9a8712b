// Flow control of the serial line in the built daemon, on a pty: the flags the port gets from
// the settings and from AT&K, a start-up that refuses a value, and XON/XOFF holding back the
// bytes that a peer sends and the modem's own output while the DTE's XOFF holds.
#include <signal.h>
#include <termios.h>

#include <string>
#include <thread>

#include "e2e/call_helpers.h"

namespace {

using namespace std::chrono_literals;

constexpr char XON = 0x11;
constexpr char XOFF = 0x13;

// The pty's flow-control mode as its flags show it: 0, 3 or 4; -1 for anything else.
int port_flow(const sandbox& box) {
  termios tio{};
  if (tcgetattr(box.slave_fd(), &tio) != 0) return -1;
  bool rts_cts = (tio.c_cflag & CRTSCTS) != 0;
  tcflag_t soft = tio.c_iflag & (IXON | IXOFF | IXANY);
  if (rts_cts && soft == 0) return 3;
  if (!rts_cts && soft == (IXON | IXOFF)) return 4;
  if (!rts_cts && soft == 0) return 0;
  return -1;
}

TEST(FlowControl, XonXoffHoldsThePeersBytesAndLosesNone) {
  modem m;
  use_call_settings(m.box);
  m.box.set("MOD_ORVANE_FLOWCONTROL", "4");
  ASSERT_TRUE(start_modem(m));
  EXPECT_EQ(port_flow(m.box), 4);

  unique_fd listener = listen_loopback(0);
  ASSERT_TRUE(listener.valid());
  ASSERT_TRUE(set_dial_port(m.box, m.d, local_port(listener.get())));
  EXPECT_EQ(port_flow(m.box), 4);
  ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
  unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
  ASSERT_TRUE(peer.valid());
  ASSERT_TRUE(send_all(peer.get(), "X"));
  ASSERT_TRUE(serial_gets(m.d, kConnect, 10));

  // The DTE's XOFF belongs to the line: the driver takes it, the peer gets only the data after.
  ASSERT_TRUE(m.d.serial_write(std::string(1, XOFF) + "after xoff"));
  EXPECT_EQ(recv_until(peer.get(), "after xoff", seconds_from_now(10)), "after xoff");

  // While XOFF holds, nothing that the peer sends reaches the DTE.
  std::string data;
  for (int i = 0; data.size() < 3000; ++i) data += "line " + std::to_string(i) + "\r\n";
  ASSERT_TRUE(send_all(peer.get(), data));
  EXPECT_EQ(m.d.serial_read_for(1500ms), "");
  EXPECT_TRUE(m.d.alive());

  // XON lets all of it through, in order; the XON does not reach the peer either.
  ASSERT_TRUE(m.d.serial_write(std::string(1, XON)));
  std::string got = m.d.serial_read_until(data, seconds_from_now(10));
  EXPECT_EQ(got, data) << first_difference(got, data);
  ASSERT_TRUE(m.d.serial_write("z"));
  EXPECT_EQ(recv_until(peer.get(), "z", seconds_from_now(10)), "z");

  // The escape's OK waits for XON too.
  ASSERT_TRUE(m.d.serial_write(std::string(1, XOFF)));
  std::this_thread::sleep_for(1200ms);
  ASSERT_TRUE(m.d.serial_write("+++"));
  EXPECT_EQ(m.d.serial_read_for(2000ms), "");
  ASSERT_TRUE(m.d.serial_write(std::string(1, XON)));
  EXPECT_EQ(m.d.serial_read_until("OK\r\n", seconds_from_now(10)), "OK\r\n");

  // Back in command mode AT&K changes the open port at once; other values change nothing.
  struct step {
    std::string line, result;
    int flow;
  };
  const step steps[] = {{"AT&K3", "OK", 3},    {"AT&K0", "OK", 0}, {"AT&K4", "OK", 4},
                        {"AT&K5", "ERROR", 4}, {"AT&K3", "OK", 3}, {"AT&K1", "ERROR", 3}};
  for (const step& s : steps) {
    EXPECT_TRUE(serial_exchange(m.d, s.line + "\r", s.line + "\r\n" + s.result + "\r\n")) << s.line;
    EXPECT_EQ(port_flow(m.box), s.flow) << s.line;
  }
  stop_modem(m);
}

// Command-mode output (the echo, the answer) waits while XOFF holds and arrives whole on XON.
TEST(FlowControl, XoffHoldsCommandModeOutputUntilXon) {
  modem m;
  m.box.set("MOD_ORVANE_FLOWCONTROL", "4");
  ASSERT_TRUE(start_modem(m));
  ASSERT_TRUE(m.d.serial_write(std::string(1, XOFF) + "ATI3\r"));
  EXPECT_EQ(m.d.serial_read_for(1000ms), "");
  ASSERT_TRUE(m.d.serial_write(std::string(1, XON)));
  const std::string answer = "ATI3\r\norvane-module 1.4.2\r\nOK\r\n";
  EXPECT_EQ(m.d.serial_read_until(answer, seconds_from_now(10)), answer);
  stop_modem(m);
}

TEST(FlowControl, StartUpRefusesOtherValuesBeforeLockingTheDevice) {
  for (const char* value : {"1", "5"}) {
    sandbox box;
    ASSERT_TRUE(box.ok());
    box.set("MOD_ORVANE_FLOWCONTROL", value);
    daemon_process d(box);
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.wait_exit(seconds_from_now(15)), 1) << value;
    std::string text = std::string("invalid flow control ") + value + " (0, 3 or 4 expected)";
    EXPECT_TRUE(d.has_log(text, 3)) << d.log_text();
    EXPECT_FALSE(path_exists(box.lock_path())) << value;
    termios tio{};
    ASSERT_EQ(tcgetattr(box.slave_fd(), &tio), 0);
    EXPECT_NE(tio.c_lflag & ICANON, 0u) << "the device was configured although start-up failed";
  }
  // Empty is 0, as a missing key is.
  modem m;
  m.box.set("MOD_ORVANE_FLOWCONTROL", "");
  ASSERT_TRUE(start_modem(m));
  EXPECT_EQ(port_flow(m.box), 0);
  stop_modem(m);
}

}  // namespace
