// What a hostile user tried on the built daemon: registers whose durations do not fit the
// timers, a settings path that is a FIFO, values that start-up does not take as written, and a
// storm of SIGUSR1. Each must leave the daemon working and say what it did not take.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "e2e/call_helpers.h"

namespace {

using namespace std::chrono_literals;

TEST(HostileInput, NoRegisterValueWedgesTheLoop) {
  modem m;
  use_call_settings(m.box);
  ASSERT_TRUE(start_modem(m));
  unique_fd listener = listen_loopback(0);
  ASSERT_TRUE(listener.valid());
  ASSERT_TRUE(set_dial_port(m.box, m.d, local_port(listener.get())));
  // Each line once broke the loop: select failed with EINVAL on every pass, or the call ended
  // at once. The registers keep what was set.
  struct row {
    std::string line, query, stored;
    bool escape;  // the guard time is short enough to try +++
  };
  const row rows[] = {
      {"AT&D2S25=300000", "ATS25?", "300000", true},
      {"ATS12=214748", "ATS12?", "214748", false},
      {"ATS12=4294967295", "ATS12?", "-1", false},
      {"ATS10=214748365", "ATS10?", "214748365", true},
      {"ATS11=4294967295", "ATS11?", "-1", true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.line);
    // A reply to ATSn? holds at most 9 bytes: a long value loses its line end.
    const std::string query_reply = r.query + "\r\n" + (r.stored + "\r\n").substr(0, 9) + "OK\r\n";
    ASSERT_TRUE(serial_exchange(m.d, "ATZ\r", "ATZ\r\nOK\r\n"));
    ASSERT_TRUE(serial_exchange(m.d, r.line + "\r", r.line + "\r\nOK\r\n"));
    ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
    unique_fd peer = accept_within(listener.get(), seconds_from_now(10));
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(send_all(peer.get(), "X"));
    ASSERT_TRUE(serial_gets(m.d, kConnect, 10));
    // Data moves both ways and the call stays up.
    ASSERT_TRUE(send_all(peer.get(), "to the dte"));
    EXPECT_TRUE(serial_gets(m.d, "to the dte", 10));
    // With S11 beyond a second a read waits for a full chunk or for the loop's timeout.
    std::string chunk = r.line.find("S11") != std::string::npos ? std::string(1024, 'c') : "up";
    ASSERT_TRUE(m.d.serial_write(chunk));
    EXPECT_EQ(recv_until(peer.get(), chunk, seconds_from_now(10)), chunk);
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(m.d.has_log("select error: Invalid argument")) << m.d.log_text();
    EXPECT_FALSE(m.d.has_log("TCP connection to 127.0.0.1 closed: inactivity"));
    if (r.escape) {
      ASSERT_TRUE(serial_exchange(m.d, "+++", "OK\r\n", 10));
      EXPECT_TRUE(serial_exchange(m.d, r.query + "\r", query_reply));
      ASSERT_TRUE(serial_exchange(m.d, "ATH\r", "ATH\r\nOK\r\n"));
    } else {
      // A guard of hours: the peer ends the call instead.
      peer.reset();
      ASSERT_TRUE(serial_gets(m.d, kNoCarrier, 10));
      EXPECT_TRUE(serial_exchange(m.d, r.query + "\r", query_reply));
    }
  }
  // S7 at 2^31: a dial waits instead of failing at once.
  ASSERT_TRUE(serial_exchange(m.d, "ATS7=2147483648\r", "ATS7=2147483648\r\nOK\r\n"));
  ASSERT_TRUE(serial_exchange(m.d, kDialLoopback, kDialLoopbackEcho));
  unique_fd unanswered = accept_within(listener.get(), seconds_from_now(10));
  ASSERT_TRUE(unanswered.valid());
  EXPECT_EQ(m.d.serial_read_for(1500ms), "");
  ASSERT_TRUE(send_all(unanswered.get(), "X"));
  EXPECT_TRUE(serial_gets(m.d, kConnect, 10));
  stop_modem(m);
}

TEST(HostileInput, StartUpSaysWhatItDoesNotTakeAsWritten) {
  modem m;
  m.box.set("MOD_ORVANE_SYSLOGLEV", "4");
  m.box.set("MOD_ORVANE_SREG_HUP_DELAY", "4294967295");
  m.box.set("MOD_ORVANE_SREG_CONN_TOUT", "3000000000");
  m.box.set("MOD_ORVANE_CFG_SCRIPT", "%%%%");  // no base64 character at all: an empty script
  ASSERT_TRUE(start_modem(m));
  const std::string path = m.box.settings_path();
  EXPECT_TRUE(m.d.has_log("S7 is 3000000000, above 2147483647: it takes effect as 2147483647", 4))
      << m.d.log_text();
  EXPECT_TRUE(m.d.has_log("S10 is 4294967295, above 214748364: it takes effect as 214748364", 4));
  EXPECT_TRUE(m.d.has_log("settings file " + path +
                              ": MOD_ORVANE_CFG_SCRIPT is not valid base64: the characters "
                              "outside its alphabet are skipped",
                          4));
  // The registers keep what the file says.
  EXPECT_TRUE(serial_exchange(m.d, "ATS10?\r", "ATS10?\r\n-1\r\nOK\r\n"));
  stop_modem(m);
}

TEST(HostileInput, SettingsPathThatIsAFifoReadsAsMissing) {
  sandbox box;
  ASSERT_TRUE(box.ok());
  unlink(box.settings_path().c_str());
  ASSERT_EQ(mkfifo(box.settings_path().c_str(), 0600), 0);
  daemon_process d(box);
  ASSERT_TRUE(d.start());
  // Read as missing: threshold 0, yet the warning is logged.
  EXPECT_TRUE(
      d.wait_log("settings file " + box.settings_path() + " is not a regular file: read as missing",
                 seconds_from_now(15), 4));
  steady_deadline deadline = seconds_from_now(15);
  while (!d.handlers_installed() && d.alive() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(d.handlers_installed()) << d.log_text();
  // A missing file means no echo, numeric results and S3 = 0, so a typed '/' ends a line; a
  // line with a '/' other than A/ is an error: 4 (S3, a zero byte, is not sent).
  ASSERT_TRUE(d.serial_write("AT/"));
  EXPECT_EQ(d.serial_read_until("4", seconds_from_now(5)), "4");
  ASSERT_TRUE(d.send_signal(SIGTERM));
  EXPECT_EQ(d.wait_exit(seconds_from_now(15)), 0);
}

TEST(HostileInput, StatusFilesAreWrittenDuringASigusr1Storm) {
  modem m;
  ASSERT_TRUE(start_modem(m));
  const std::string call_file = m.box.path("/var/orvane/status_c");
  unlink(call_file.c_str());
  // Signals every 50 ms, each interrupting the loop's wait, for 5 seconds.
  std::atomic<bool> stop = false;
  auto start = std::chrono::steady_clock::now();
  std::thread storm([&] {
    while (!stop && std::chrono::steady_clock::now() - start < 5s) {
      m.d.send_signal(SIGUSR1);
      std::this_thread::sleep_for(50ms);
    }
  });
  double seen_after = -1;
  while (std::chrono::steady_clock::now() - start < 5s) {
    if (read_file(call_file) == "On-line  : No\nConnected: No\n") {
      seen_after = seconds_since(start);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  stop = true;
  storm.join();
  // About a second is the promise; the bound leaves room for a loaded machine, and the storm
  // lasts longer than it.
  EXPECT_GE(seen_after, 0) << "no status_c while the signals kept coming; log:\n" << m.d.log_text();
  EXPECT_LT(seen_after, 3.0);
  EXPECT_TRUE(m.d.alive());
  stop_modem(m);
}

}  // namespace
