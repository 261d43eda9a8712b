#include "core/event_loop.h"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/call_control.h"
#include "core/data_mode.h"
#include "core/dialer.h"
#include "core/handshakes.h"
#include "core/status_files.h"
#include "modem/dte_output.h"
#include "platform/log.h"
#include "platform/system_io.h"

namespace {

constexpr suseconds_t USEC_PER_SECOND = 1000000;

struct fd_sets {
  fd_set read;
  fd_set write;
  int max_fd = -1;
  // Bytes held inside the call's link, or inside the session of the dialling or ringing socket:
  // read without waiting.
  bool link_input = false;
  bool call_input = false;
};

void watch(fd_sets& sets, fd_set& set, int fd) {
  if (fd < 0) return;
  FD_SET(fd, &set);
  sets.max_fd = std::max(sets.max_fd, fd);
}

// Watches `fd` as a session's TLS_WANTS_* ask.
void watch_wants(fd_sets& sets, int fd, int wants) {
  if ((wants & TLS_WANTS_READ) != 0) watch(sets, sets.read, fd);
  if ((wants & TLS_WANTS_WRITE) != 0) watch(sets, sets.write, fd);
}

bool ready(const fd_set& set, int fd) { return fd >= 0 && FD_ISSET(fd, &set); }

fd_sets build_sets(const modem_state& ms, const loop_state& ls) {
  fd_sets sets;
  FD_ZERO(&sets.read);
  FD_ZERO(&sets.write);
  // While serial bytes are on their way to the peer the port is read only into the bounded
  // read-ahead: beyond it the peer's pace holds the DTE back instead of bytes being lost.
  if (serial_readable(ls.link)) watch(sets, sets.read, ms.serial_fd.get());
  // Output for the DTE, then peer bytes behind it, wait for the line to take them.
  if (dte_output_held(ms) || ls.link.in_len > 0) watch(sets, sets.write, ms.serial_fd.get());
  int wants = link_wants(ls.link);
  if ((wants & LINK_WANTS_READ) != 0) watch(sets, sets.read, ls.link.sock.get());
  if ((wants & LINK_WANTS_WRITE) != 0) watch(sets, sets.write, ls.link.sock.get());
  sets.link_input = (wants & LINK_HAS_INPUT) != 0;
  if (ms.dial_sock.valid()) {
    if (ls.dial_connected == 0) {
      watch(sets, sets.write, ms.dial_sock.get());
    } else if (tls_session_active(ls.link.tls)) {
      int dial_wants = tls_wants(ls.link.tls);
      watch_wants(sets, ms.dial_sock.get(), dial_wants);
      sets.call_input = (dial_wants & TLS_HAS_INPUT) != 0;
    } else {
      watch(sets, sets.read, ms.dial_sock.get());
    }
  }
  for (int i = 0; i < HANDSHAKES_MAX; ++i) {
    watch_wants(sets, ls.handshakes[static_cast<size_t>(i)].sock.get(), handshake_wants(ls, i));
  }
  sets.max_fd = std::max(sets.max_fd, name_dial_watch(ls.dialer, &sets.read, &sets.write));
  if (!ls.listen_paused) watch(sets, sets.read, ms.listen_sock.get());
  if (!ls.listen_paused) watch(sets, sets.read, ms.tls_listen_sock.get());
  if (ms.call_state == CALL_RINGING) {
    watch(sets, sets.read, ms.ring_sock.get());
    // What an encrypted caller sent with its handshake is thrown away before the answer too.
    sets.call_input = (tls_wants(ls.link.tls) & TLS_HAS_INPUT) != 0;
  }
  return sets;
}

timeval select_timeout(const modem_state& ms, const loop_state& ls, const fd_sets& sets) {
  const modem_settings& s = ms.settings;
  timeval timeout{1, 0};
  handshake_timeout_min(ls, timeout);
  if (ms.call_state == CALL_DIALING) {
    timeout_min(timeout, ls.dial_timer);
    name_dial_bound_wait(ls.dialer, timeout);
    if (s.stat_dtr_action == 2 && s.sreg_dtr_ignore != 0) timeout_min(timeout, ls.dtr_timer);
  }
  if (ms.online == 1) {
    if (s.sreg_hup_delay != 0) timeout_min(timeout, ls.inactivity_timer);
    // The forwarding delay counts only while bytes are gathered; once they are being sent it
    // is not consulted, and waking for it would repeat until the peer takes them.
    if (ls.link.out_len != 0 && !serial_send_pending(ls.link)) {
      timeout_min(timeout, ls.split_timer);
    }
    if (s.sreg_esc_delay != 0) timeout_min(timeout, ls.guard_timer);
  }
  if (ls.link.bytes_waiting && !ls.link.waited_span) timeout_min(timeout, ls.link.waiting_timer);
  if (ls.listen_paused) timeout_min(timeout, ls.listen_pause);
  if (ms.call_state == CALL_CONNECTED && s.stat_dtr_action != 0 && s.sreg_dtr_ignore != 0) {
    timeout_min(timeout, ls.dtr_timer);
  }
  // A split time of a second or more is held in microseconds alone and would stretch the wait
  // beyond the second that the other checks (escape guard, DTR, inactivity) count on: up to 35
  // minutes for the largest S11. Such a countdown runs out at the first check a second or more
  // after the last read, so with this wait held bytes go out about a second after it.
  if (timeout.tv_usec >= USEC_PER_SECOND) timeout = {1, 0};
  // An answer that is due (ATA, or the S0-th RING sent) is made in the next pass: at once.
  if (ms.call_state == CALL_RINGING && answer_due(ms, ls)) timeout = {0, 0};
  if (sets.link_input || sets.call_input) timeout = {0, 0};
  return timeout;
}

void handle_ready(modem_state& ms, loop_state& ls, const fd_sets& sets, const clock_reading& now) {
  if (ready(sets.read, ms.serial_fd.get())) read_serial(ms, ls, now);
  if (ready(sets.write, ms.serial_fd.get())) {
    dte_flush(ms);
    if (ls.link.in_len > 0) flush_peer_bytes(ms, ls, now);
  }
  if (ready(sets.read, ls.link.sock.get()) || (sets.link_input && ls.link.sock.valid())) {
    link_readable(ms, ls, now);
  }
  if (ready(sets.write, ls.link.sock.get())) link_writable(ms, ls, now);
  if (ms.dial_sock.valid()) {
    int fd = ms.dial_sock.get();
    if (ls.dial_connected == 0) {
      if (ready(sets.write, fd)) dial_socket_writable(ms, ls);
    } else if (ready(sets.read, fd) || ready(sets.write, fd) || sets.call_input) {
      dial_socket_readable(ms, ls, now);
    }
  }
  if (ready(sets.read, ms.ring_sock.get()) || (sets.call_input && ms.ring_sock.valid())) {
    ring_socket_readable(ms, ls);
  }
  for (int i = 0; i < HANDSHAKES_MAX; ++i) {
    int fd = ls.handshakes[static_cast<size_t>(i)].sock.get();
    if (ready(sets.read, fd) || ready(sets.write, fd)) handshake_ready(ms, ls, i, now);
  }
  if (ready(sets.read, ms.listen_sock.get())) accept_call(ms, ls, now);
  if (ready(sets.read, ms.tls_listen_sock.get())) accept_tls_call(ms, ls, now);
}

void run_time_checks(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (ms.call_state == CALL_DIALING) check_dial_timeout(ms, ls, now);
  if (ms.call_state == CALL_DIALING) check_dial_dtr(ms, ls, now);
  check_handshakes(ms, ls, now);
  if (ms.call_state == CALL_RINGING) check_ringing(ms, ls, now);
  bool call_goes_on = true;
  if (ms.online == 1) {
    call_goes_on = check_inactivity(ms, ls, now);
    if (call_goes_on) check_escape(ms, ls, now);
  }
  bool forward = true;
  if (call_goes_on && ms.call_state == CALL_CONNECTED) forward = check_dtr(ms, ls, now);
  if (ms.call_state == CALL_CONNECTED) check_peer_progress(ms, ls, now);
  if (forward) forward_serial_bytes(ms, ls, now);
  check_listen_pause(ls, now);
  report_turned_away(ls, now);
}

void serve_status_request(modem_state& ms) {
  if (ms.status_request == 0) return;
  write_status_files(ms);
  ms.status_request = 0;
}

}  // namespace

bool event_loop_pass(modem_state& ms, loop_state& ls) {
  if (ms.term_signal != 0) return false;
  fd_sets sets = build_sets(ms, ls);
  timeval timeout = select_timeout(ms, ls, sets);
  fd_set* write_set = &sets.write;
  int n = wait_ready(sets.max_fd + 1, &sets.read, write_set, &timeout);
  if (n < 0) {
    if (errno == EINTR) {
      log_msg(7, "select interrupted by signal");
      // Signals that keep coming would otherwise postpone the status files for as long as
      // they come: a request is served as soon as its signal has woken the loop.
      if (ms.term_signal == 0) serve_status_request(ms);
    } else {
      log_msg(3, "select error: %s", strerror(errno));
      sleep_seconds(1);
    }
    return true;
  }
  // One reading of the clocks for everything this pass starts or checks.
  clock_reading now = read_clocks();
  // Bytes held inside a session are served whether or not a descriptor became ready.
  if (n > 0 || sets.link_input || sets.call_input) handle_ready(ms, ls, sets, now);
  // A dial to a name also moves on its own time-outs (the lookup's, the next attempt's turn),
  // with or without a ready descriptor; select has emptied the sets when none was ready.
  if (name_dial_busy(ls.dialer)) name_dial_step(ms, ls, &sets.read, &sets.write, now);
  run_time_checks(ms, ls, now);
  serve_status_request(ms);
  return true;
}

void run_event_loop(modem_state& ms, loop_state& ls) {
  while (event_loop_pass(ms, ls)) {
  }
}
