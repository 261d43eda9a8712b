// In-process fixture for the daemon core: a modem_state and loop_state run by event_loop_pass in
// a simulated world (virtual clock, scripted serial line, listening and call sockets, modem
// lines), so timing is exact to the microsecond and nothing sleeps.
#pragma once

#include <arpa/inet.h>

#include <functional>
#include <memory>
#include <string>

#include "core/call_control.h"
#include "core/event_loop.h"
#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "sim/sim_world.h"
#include "test_support.h"

// The address of a dotted IPv4 or an IPv6 text.
net_address ipv4(const char* text);

class loop_fixture {
 public:
  // The sample settings at 115200 bit/s with S11 = 0 (each serial read is forwarded in its own
  // pass unless a test says otherwise), logging everything. The clock stands at 0.
  loop_fixture();
  ~loop_fixture();

  modem_state& ms() { return *ms_; }
  loop_state& ls() { return *ls_; }
  sim_world& world() { return world_; }
  int64_t now() const { return world_.now(); }

  // Applies a settings change and rederives the timer durations.
  void configure(const std::function<void(modem_settings&)>& change);

  // Puts a call from 127.0.0.1 on-line as an answered call would be; returns the peer's end.
  std::shared_ptr<sim_conn> connect_call();

  // Runs passes until `done` holds, at most until `limit` µs from now; returns done(). Fails
  // the test when the loop spins (many passes without the clock moving or bytes moving).
  bool run_until(const std::function<bool()>& done, int64_t limit = 120 * SEC);
  // Runs passes until the clock has moved `usec` further.
  void run_for(int64_t usec);
  // Runs one pass.
  void pass();

  // A listening socket as ms().listen_sock, and a caller from `source` that connects to it.
  void listen_for_calls();
  std::shared_ptr<sim_conn> call_in(const char* source = "127.0.0.1");
  // The daemon's latest outgoing connection attempt (nullptr when none).
  std::shared_ptr<sim_conn> last_dial() const;

  // The DTE side of the serial line.
  sim_conn& dte() { return *world_.serial(); }
  void dte_write(const std::string& bytes) { dte().send(bytes); }
  std::string dte_read() { return dte().take(); }
  // Types `line` followed by the current S3 character.
  void type_line(const std::string& line);

 private:
  sim_world world_;
  std::unique_ptr<modem_state> ms_;
  std::unique_ptr<loop_state> ls_;
  temp_dir dir_;
};
