// In-process fixture for the daemon core: a modem_state whose serial port is one end of a
// socketpair (the test holds the DTE's end), a loopback TCP peer, and a fake behind the
// modem-line seam that plays the DTE's DTR and records the modem's own DTR output.
#pragma once

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "core/call_control.h"
#include "core/event_loop.h"
#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/serial_port.h"
#include "test_support.h"

// The modem lines as the fake sees them.
// Atomic because a test script thread changes them while the loop runs.
struct fake_lines {
  std::atomic<bool> dte_dtr = true;     // read back as TIOCM_CAR
  std::atomic<bool> modem_dtr = false;  // what TIOCMBIS/TIOCMBIC set for TIOCM_DTR
  std::atomic<bool> fail_get = false;   // TIOCMGET fails with EIO
  std::atomic<int> get_calls = 0;
};

class loop_fixture {
 public:
  loop_fixture();
  ~loop_fixture();

  modem_state& ms() { return *ms_; }
  loop_state& ls() { return *ls_; }
  fake_lines& lines();

  // Applies a settings change and rederives the timer durations.
  void configure(const std::function<void(modem_settings&)>& change);

  // Connects a loopback peer and puts the call on-line as an answered call would be; returns
  // the peer's descriptor (owned by the fixture).
  int connect_call();

  // Runs passes until `done` holds or `seconds` pass; returns done().
  bool run_until(const std::function<bool()>& done, double seconds = 5.0);
  // Runs passes for about `seconds` (a pass may wait up to a second in select).
  void run_for(double seconds);
  // Runs `script` (writes, pauses, line changes; no access to the state records) on a thread
  // of its own while this thread runs passes, until the script has finished.
  void run_with(const std::function<void()>& script);

  // Opens a listening socket on 127.0.0.1 and a free port as ms().listen_sock; returns the port.
  uint16_t listen_for_calls();
  // A caller bound to the loopback address `source` (such as "127.0.0.2") that connects to
  // 127.0.0.1 at the port of ms().listen_sock. Non-blocking; the test owns it.
  unique_fd connect_caller(const char* source = "127.0.0.1");
  // A listener on 127.0.0.1 playing the called daemon; ms().settings.port becomes its port.
  unique_fd listen_as_callee();
  // Types `line` followed by the current S3 character.
  void type_line(const std::string& line);

  // The DTE side of the serial line.
  int dte_fd() const { return dte_.get(); }
  void dte_write(const std::string& bytes);
  std::string dte_read();  // everything available now
  // The peer side of the call.
  void peer_write(const std::string& bytes);
  std::string peer_read();  // everything available now
  bool peer_closed();       // end of stream seen (after reading what was there)

 private:
  std::unique_ptr<modem_state> ms_;
  std::unique_ptr<loop_state> ls_;
  unique_fd dte_;
  unique_fd peer_;
  temp_dir dir_;
  modem_ioctl_fn previous_ioctl_;
};
