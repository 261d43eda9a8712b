#include "core/event_loop.h"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/call_control.h"
#include "core/data_mode.h"
#include "core/handshakes.h"
#include "core/listeners.h"
#include "core/status_files.h"
#include "core/status_json.h"
#include "modem/dte_output.h"
#include "platform/log.h"
#include "platform/system_io.h"

namespace {

constexpr suseconds_t USEC_PER_SECOND = 1000000;

struct fd_sets {
  fd_set read;
  fd_set write;
  int max_fd = -1;
  bool held_input = false;  // a link holds bytes that can be read without waiting
};

// Every link the loop may watch: the call's, the dial's attempts and the encrypted callers.
constexpr int LINKS_MAX = 1 + RESOLVE_ADDRESSES_MAX + HANDSHAKES_MAX;
struct link_list {
  std::array<call_link*, LINKS_MAX> links{};
  int count = 0;
};

link_list live_links(loop_state& ls) {
  link_list list;
  auto add = [&list](call_link& link) {
    if (link.state != LINK_CLOSED) list.links[list.count++] = &link;
  };
  add(ls.link);
  for (call_link& attempt : ls.dial.attempts) add(attempt);
  for (call_link& caller : ls.handshakes) add(caller);
  return list;
}

// What a link's user wants of it in each state (LINK_READ, LINK_WRITE); a connected call's
// depends on the bytes on their way: peer bytes not yet written to the port hold the peer back,
// and a held send waits for room.
int state_wants(const loop_state& ls, const call_link& link) {
  switch (link.state) {
    case LINK_CONNECTING:
      return LINK_WRITE;
    case LINK_HANDSHAKING:
    case LINK_AWAITING_ANSWER:
    case LINK_RINGING:
      return LINK_READ;
    case LINK_CONNECTED:
      if (&link != &ls.link) return 0;
      return (ls.data.in_len == 0 ? LINK_READ : 0) |
             (serial_send_pending(ls.data) ? LINK_WRITE : 0);
    case LINK_CLOSED:
      break;
  }
  return 0;
}

// What the loop does with the call's link when select found it ready, by its state.
using link_handler = void (*)(modem_state& ms, loop_state& ls, const clock_reading& now);
constexpr link_handler call_link_handlers[] = {
    nullptr,             // LINK_CLOSED
    nullptr,             // LINK_CONNECTING: the dial's attempts are the dialer's
    dial_link_ready,     // LINK_HANDSHAKING
    dial_link_ready,     // LINK_AWAITING_ANSWER
    ringing_link_ready,  // LINK_RINGING
    connected_link_ready,
};

void watch(fd_sets& sets, fd_set& set, int fd) {
  if (fd < 0) return;
  FD_SET(fd, &set);
  sets.max_fd = std::max(sets.max_fd, fd);
}

bool ready(const fd_set& set, int fd) { return fd >= 0 && FD_ISSET(fd, &set); }

fd_sets build_sets(modem_state& ms, loop_state& ls) {
  fd_sets sets;
  FD_ZERO(&sets.read);
  FD_ZERO(&sets.write);
  // While serial bytes are on their way to the peer the port is read only into the bounded
  // read-ahead: beyond it the peer's pace holds the DTE back instead of bytes being lost.
  if (serial_readable(ls.data)) watch(sets, sets.read, ms.serial_fd.get());
  // Output for the DTE, then peer bytes behind it, wait for the line to take them.
  if (dte_output_held(ms) || ls.data.in_len > 0) watch(sets, sets.write, ms.serial_fd.get());
  link_list links = live_links(ls);
  for (int i = 0; i < links.count; ++i) {
    call_link& link = *links.links[i];
    link.watched = link_wants(link, state_wants(ls, link));
    if ((link.watched & LINK_READ) != 0) watch(sets, sets.read, link.sock.get());
    if ((link.watched & LINK_WRITE) != 0) watch(sets, sets.write, link.sock.get());
    sets.held_input = sets.held_input || (link.watched & LINK_INPUT) != 0;
  }
  sets.max_fd = std::max(sets.max_fd, resolver_watch(ls.dial.resolver, &sets.read, &sets.write));
  if (!ls.listen_paused) watch(sets, sets.read, ms.listen_sock.get());
  if (!ls.listen_paused) watch(sets, sets.read, ms.tls_listen_sock.get());
  sets.max_fd = std::max(sets.max_fd, watch_peer_listeners(ms, ls, sets.read));
  return sets;
}

// Records in each link what select found for it (and the bytes it holds), before any is handled:
// a link that a handler opens in this pass finds nothing recorded.
void record_events(loop_state& ls, const fd_sets& sets) {
  link_list links = live_links(ls);
  for (int i = 0; i < links.count; ++i) {
    call_link& link = *links.links[i];
    int fd = link.sock.get();
    link.events = link.watched & LINK_INPUT;
    if ((link.watched & LINK_READ) != 0 && ready(sets.read, fd)) link.events |= LINK_READ;
    if ((link.watched & LINK_WRITE) != 0 && ready(sets.write, fd)) link.events |= LINK_WRITE;
  }
}

timeval select_timeout(const modem_state& ms, const loop_state& ls, const fd_sets& sets) {
  const modem_settings& s = ms.settings;
  timeval timeout{1, 0};
  handshake_timeout_min(ls, timeout);
  if (ms.call_state == CALL_DIALING) {
    timeout_min(timeout, ls.dial_timer);
    dialer_bound_wait(ls.dial, timeout);
    if (dial_watches_dtr(ms) && s.sreg_dtr_ignore != 0) timeout_min(timeout, ls.dtr_timer);
  }
  if (ms.online == 1) {
    if (s.sreg_hup_delay != 0) timeout_min(timeout, ls.inactivity_timer);
    // The forwarding delay counts while bytes are gathered, and after bytes read behind a send
    // went out (a telnet call's CR then waits for it); once they are being sent it is not
    // consulted, and waking for it would repeat until the peer takes them.
    if (!serial_send_pending(ls.data)) {
      timeout_min(timeout, ls.split_timer);
    }
    if (serial_send_pending(ls.data)) timeout_min(timeout, ls.data.send_retry);
    if (s.sreg_esc_delay != 0) timeout_min(timeout, ls.guard_timer);
  }
  if (ls.data.bytes_waiting && !ls.data.waited_span) timeout_min(timeout, ls.data.waiting_timer);
  if (ls.data.full_timed) timeout_min(timeout, ls.data.full_timer);
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
  if (sets.held_input) timeout = {0, 0};
  return timeout;
}

// The ready descriptors in a fixed order: the serial port, the call's link, the dial (its lookup
// and attempts), the encrypted callers, the listening sockets.
void handle_ready(modem_state& ms, loop_state& ls, const fd_sets& sets, const clock_reading& now) {
  if (ready(sets.read, ms.serial_fd.get())) read_serial(ms, ls, now);
  if (ready(sets.write, ms.serial_fd.get())) {
    dte_flush(ms);
    if (ls.data.in_len > 0) flush_peer_bytes(ms, ls, now);
  }
  if (ls.link.events != 0) {
    link_handler handler = call_link_handlers[ls.link.state];
    if (handler != nullptr) handler(ms, ls, now);
  }
  // The dial also moves on its own time (the lookup's time-outs, the next attempt's turn), with
  // or without a ready descriptor.
  dial_ready(ms, ls, &sets.read, &sets.write, now);
  handshakes_ready(ms, ls, now);
  if (ready(sets.read, ms.listen_sock.get())) accept_call(ms, ls, now);
  if (ready(sets.read, ms.tls_listen_sock.get())) accept_tls_call(ms, ls, now);
  peer_listeners_ready(ms, ls, sets.read, now);
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
  if (ms.call_state == CALL_CONNECTED) check_held_output(ms, ls, now);
  if (forward) forward_serial_bytes(ms, ls, now);
  check_listen_pause(ls, now);
  report_turned_away(ls, now);
  records_time_check(ls, now);
  metrics_time_check(ms, ls, now);
}

void serve_status_request(modem_state& ms, const loop_state& ls) {
  if (ms.json_request != 0) {
    ms.json_request = 0;
    write_status_json(ms, ls, read_clocks());
  }
  if (ms.status_request == 0) return;
  write_status_files(ms);
  ms.status_request = 0;
}

}  // namespace

bool event_loop_pass(modem_state& ms, loop_state& ls) {
  if (ms.term_signal != 0) return false;
  fd_sets sets = build_sets(ms, ls);
  timeval timeout = select_timeout(ms, ls, sets);
  int n = wait_ready(sets.max_fd + 1, &sets.read, &sets.write, &timeout);
  if (n < 0) {
    if (errno == EINTR) {
      log_msg(7, "select interrupted by signal");
      // Signals that keep coming would otherwise postpone the status files for as long as
      // they come: a request is served as soon as its signal has woken the loop.
      if (ms.term_signal == 0) serve_status_request(ms, ls);
    } else {
      log_msg(3, "select error: %s", strerror(errno));
      sleep_seconds(1);
    }
    return true;
  }
  // One reading of the clocks for everything this pass starts or checks.
  clock_reading now = read_clocks();
  // select has emptied the sets when nothing was ready.
  record_events(ls, sets);
  handle_ready(ms, ls, sets, now);
  run_time_checks(ms, ls, now);
  serve_status_request(ms, ls);
  return true;
}

void run_event_loop(modem_state& ms, loop_state& ls) {
  while (event_loop_pass(ms, ls)) {
  }
}
