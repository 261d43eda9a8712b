#include "core/data_mode.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "at/line_editor.h"
#include "at/result_codes.h"
#include "core/call_control.h"
#include "core/dtr_watch.h"
#include "modem/dte_output.h"
#include "platform/log.h"
#include "platform/sockets.h"
#include "platform/system_calls.h"
#include "platform/system_io.h"

namespace {

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

void restart_inactivity(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (ms.settings.sreg_hup_delay != 0) {
    countdown_start_at(ls.inactivity_timer, ms.inactivity_timeout_sec, 0, now.wall);
  }
}

void escape_to_command_mode(modem_state& ms, loop_state& ls) {
  ls.metrics.escapes++;
  send_code(ms, RESULT_OK);
  ms.online = 0;
  log_msg(6, "going off-line (command mode) due to escape sequence");
}

// Accounts for one write of a held chunk, `done` of its `len` bytes being out already. A write
// the destination refuses for now (EAGAIN) keeps the chunk; any other failure is logged as
// "<what> error" and drops it. Returns true when the chunk is gone, written out or dropped.
bool account_write(modem_state& ms, loop_state& ls, ssize_t n, const char* what, int& len,
                   int& done, const clock_reading& now) {
  if (n < 0) {
    if (would_block(errno)) return false;
    log_msg(3, "%s error: %s", what, strerror(errno));
    len = 0;
    done = 0;
    return true;
  }
  done += static_cast<int>(n);
  if (n > 0) restart_inactivity(ms, ls, now);
  if (done < len) return false;
  len = 0;
  done = 0;
  return true;
}

// Moves the next chunk of the read-ahead into d.out, to be sent without waiting for the
// forwarding delay (it has waited already). Returns false when the read-ahead is empty.
bool take_read_ahead(data_path& d) {
  if (d.ahead_len == 0) return false;
  int n = std::min(d.ahead_len, SERIAL_BUF_SIZE);
  memcpy(d.out.data(), d.ahead.data(), static_cast<size_t>(n));
  memmove(d.ahead.data(), d.ahead.data() + n, static_cast<size_t>(d.ahead_len - n));
  d.ahead_len -= n;
  d.out_len = n;
  d.out_sent = 0;
  d.sending = 1;
  return true;
}

// Bytes go to the peer: unless bytes wait already, they wait from now on.
void start_waiting(data_path& d, const clock_reading& now) {
  if (d.dead_peer_span_ms == 0 || d.bytes_waiting) return;
  d.bytes_waiting = true;
  d.waited_span = false;
  auto span_ms = static_cast<int32_t>(d.dead_peer_span_ms);
  countdown_start_at(d.waiting_timer, span_ms / 1000, span_ms % 1000 * 1000, now.wall);
}

// Sends the held chunk, then the read-ahead behind it, until the peer takes no more or a send
// fails.
void send_held(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  start_waiting(d, now);
  for (;;) {
    ssize_t n =
        link_write(ls.link, d.out.data() + d.out_sent, static_cast<size_t>(d.out_len - d.out_sent));
    int err = errno;
    if (n > 0) ls.records.call.dte_to_net += static_cast<uint64_t>(n);
    if (!account_write(ms, ls, n, "send", d.out_len, d.out_sent, now)) return;
    d.sending = 0;
    if (n < 0) {
      // The bytes read behind a chunk that failed go the same way.
      d.ahead_len = 0;
      if (err == ETIMEDOUT) call_hangup(ms, ls, HANGUP_PEER_LOST, err);
      return;
    }
    if (!take_read_ahead(d)) return;
  }
}

// Reads the port while a chunk is being sent to the peer: into the read-ahead, so that an
// escape typed behind a stall is still seen. A failed read drops what is held for the peer, as
// it does outside a send.
void read_serial_ahead(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  char* dst = d.ahead.data() + d.ahead_len;
  ssize_t n = fd_read(ms.serial_fd.get(), dst, static_cast<size_t>(READ_AHEAD_SIZE - d.ahead_len));
  if (n < 0) {
    if (would_block(errno)) return;
    log_msg(3, "read error (com): %s", strerror(errno));
    d.ahead_len = 0;
    d.out_len = 0;
    d.out_sent = 0;
    d.sending = 0;
    sleep_seconds(1);
    return;
  }
  if (n == 0) {
    sleep_seconds(1);
    return;
  }
  d.ahead_len += static_cast<int>(n);
  ls.metrics.dte_input = now.monotonic;
  data_mode_input(ms, ls, dst, static_cast<int>(n), now);
}

// Nothing is gathered or on its way to the peer: once the forwarding delay has run out with no
// new byte, the link's layers complete what they held back for a byte that might have followed.
void forwarding_idle(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (ms.settings.sreg_split == 0 || countdown_expired(&now.wall, ls.split_timer) != 0) {
    link_idle(ls.link);
  }
}

}  // namespace

void read_serial(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  if (serial_send_pending(d)) {
    read_serial_ahead(ms, ls, now);
    return;
  }
  char* dst = d.out.data() + d.out_len;
  ssize_t n = fd_read(ms.serial_fd.get(), dst, static_cast<size_t>(SERIAL_BUF_SIZE - d.out_len));
  if (n < 0) {
    if (would_block(errno)) return;
    log_msg(3, "read error (com): %s", strerror(errno));
    d.out_len = 0;
    // A port that has failed (a hung-up line, an unplugged adapter) stays readable: pace the
    // retries like a failing select, instead of spinning and flooding the log.
    sleep_seconds(1);
    return;
  }
  if (n == 0) {
    sleep_seconds(1);  // end of file on a terminal: the line has hung up
    return;
  }
  d.out_len += static_cast<int>(n);
  ls.metrics.dte_input = now.monotonic;
  if (ms.online == 1) {
    data_mode_input(ms, ls, dst, static_cast<int>(n), now);
    return;
  }
  if (ms.call_state != CALL_DIALING) {
    for (int i = 0; i < d.out_len; ++i) {
      editor_input(ms, static_cast<unsigned char>(d.out[i]));
    }
    run_pending_action(ms, ls, now);
  }
  d.out_len = 0;
}

void data_mode_input(modem_state& ms, loop_state& ls, const char* bytes, int n,
                     const clock_reading& now) {
  const modem_settings& s = ms.settings;
  if (s.sreg_split != 0) countdown_start_at(ls.split_timer, 0, ms.split_timeout_usec, now.wall);
  const auto* in = reinterpret_cast<const unsigned char*>(bytes);
  if (ls.escape_count == 0) {
    // Only the run of escape characters at the end of the read counts.
    for (int i = n - 1; i >= 0 && in[i] == s.sreg_esc; --i) ls.escape_count++;
  } else {
    // A run in progress continues only while the new bytes are escape characters.
    for (int i = 0; i < n; ++i) {
      if (in[i] != s.sreg_esc) {
        ls.escape_count = 0;
        break;
      }
      ls.escape_count++;
    }
  }
  if (s.sreg_esc_delay != 0) {
    countdown_start_at(ls.guard_timer, ms.escape_guard_sec, ms.escape_guard_usec, now.wall);
  }
}

void flush_peer_bytes(modem_state& ms, loop_state& ls, const clock_reading& now) {
  // Peer bytes follow the text that went before them (CONNECT above all).
  if (dte_output_held(ms)) return;
  data_path& d = ls.data;
  ssize_t n = fd_write(ms.serial_fd.get(), d.in.data() + d.in_written,
                       static_cast<size_t>(d.in_len - d.in_written));
  if (n > 0) ls.records.call.net_to_dte += static_cast<uint64_t>(n);
  account_write(ms, ls, n, "write", d.in_len, d.in_written, now);
}

void link_readable(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  ssize_t n = link_read(ls.link, d.in.data(), d.in.size());
  if (n < 0) {
    int err = errno;
    if (!would_block(err)) log_msg(3, "recv error: %s", strerror(err));
    // The connection reports the peer gone (keepalive, or data unacknowledged beyond the user
    // timeout): the call ends with that cause.
    if (err == ETIMEDOUT) call_hangup(ms, ls, HANGUP_PEER_LOST, err);
    return;
  }
  if (n == 0) {
    call_hangup(ms, ls, HANGUP_PEER_SHUTDOWN);
    return;
  }
  if (ms.online == 0) return;  // the DTE is in command mode: peer data is discarded
  d.in_len = static_cast<int>(n);
  d.in_written = 0;
  flush_peer_bytes(ms, ls, now);
}

void link_writable(modem_state& ms, loop_state& ls, const clock_reading& now) {
  // What the link itself holds (an encrypted record begun) goes out in any mode; a failure
  // shows at the next send or receive.
  if (link_flush(ls.link) != 0 && errno == ETIMEDOUT) {
    call_hangup(ms, ls, HANGUP_PEER_LOST, ETIMEDOUT);
    return;
  }
  // Command mode keeps nothing for the peer: the time checks drop what is held.
  if (ms.online == 0 || !serial_send_pending(ls.data)) return;
  send_held(ms, ls, now);
}

void connected_link_ready(modem_state& ms, loop_state& ls, const clock_reading& now) {
  int events = ls.link.events;
  if ((events & (LINK_READ | LINK_INPUT)) != 0) link_readable(ms, ls, now);
  if ((events & LINK_WRITE) != 0 && ls.link.state == LINK_CONNECTED) link_writable(ms, ls, now);
}

bool check_inactivity(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (ms.settings.sreg_hup_delay == 0 || countdown_expired(&now.wall, ls.inactivity_timer) == 0) {
    return true;
  }
  call_hangup(ms, ls, HANGUP_INACTIVITY);
  return false;
}

void check_escape(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (ms.settings.sreg_esc_delay == 0) {
    if (ls.escape_count == 3) escape_to_command_mode(ms, ls);
    return;
  }
  if (countdown_expired(&now.wall, ls.guard_timer) == 0) return;
  if (ls.escape_count == 3) {
    escape_to_command_mode(ms, ls);
  } else {
    ls.escape_count = 0;
  }
}

bool check_dtr(modem_state& ms, loop_state& ls, const clock_reading& now) {
  const modem_settings& s = ms.settings;
  if (s.stat_dtr_action == 0 || !dtr_dropped(ms, ls, now)) return true;
  switch (s.stat_dtr_action) {
    case 1:
      if (ms.online == 1) {
        log_msg(6, "going off-line (command mode) due to DTR drop");
        ms.online = 0;
      }
      drop_held_bytes(ls.data);
      return false;
    case 2:
      call_hangup(ms, ls, HANGUP_DTR_DROP);
      return true;
    case 3:
      log_msg(6, "Reset (ATZ) on DTR drop - not performed");
      return true;
    default:
      return true;
  }
}

void check_peer_progress(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  if (d.dead_peer_span_ms == 0 || !ls.link.sock.valid()) return;
  bool span_over = false;
  if (d.bytes_waiting && !d.waited_span && countdown_expired(&now.wall, d.waiting_timer) != 0) {
    d.waited_span = true;
    span_over = true;
  }
  if (!span_over && now.monotonic == d.progress_second) return;
  d.progress_second = now.monotonic;
  tcp_progress p;
  if (tcp_progress_of(ls.link.sock.get(), &p) != 0) return;
  if (!serial_send_pending(d) && p.queued_bytes == 0 && p.unacked == 0) {
    d.bytes_waiting = false;
    d.waited_span = false;
    return;
  }
  start_waiting(d, now);
  // The kernel spaces window probes out to minutes, so an answering peer that takes nothing
  // may have acknowledged nothing for longer than the span: it is silent only when data is
  // unacknowledged or its probes go unanswered (an answer resets their count).
  if (p.unacked == 0 && p.probes < 2) return;
  if (p.last_ack_recv_ms >= d.dead_peer_span_ms) {
    if (d.waited_span) call_hangup(ms, ls, HANGUP_PEER_LOST, ETIMEDOUT);
    return;
  }
  // Silent for a little less than the span (the kernel counts in ticks): look again when it is
  // over instead of at the next second.
  uint32_t left_ms = d.dead_peer_span_ms - p.last_ack_recv_ms;
  if (d.waited_span && left_ms < 1000) {
    countdown_start_at(d.waiting_timer, 0, static_cast<int32_t>(left_ms) * 1000, now.wall);
    d.waited_span = false;
  }
}

void check_held_output(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  if ((ls.link.watched & LINK_FULL) == 0) {
    d.output_full = false;
    d.full_timed = false;
    countdown_stop(d.full_timer);
    return;
  }
  if (!d.output_full) {
    d.output_full = true;
    int64_t span_ms = d.dead_peer_span_ms != 0          ? int64_t{d.dead_peer_span_ms}
                      : ms.settings.sreg_hup_delay != 0 ? int64_t{ms.inactivity_timeout_sec} * 1000
                                                        : 0;
    d.full_timed = span_ms != 0;
    countdown_start_at(d.full_timer, static_cast<int32_t>(span_ms / 1000),
                       static_cast<int32_t>(span_ms % 1000 * 1000), now.wall);
    return;
  }
  if (d.full_timed && countdown_expired(&now.wall, d.full_timer) != 0) {
    call_hangup(ms, ls, HANGUP_PEER_LOST, ETIMEDOUT);
  }
}

void forward_serial_bytes(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  if (ms.online == 0) {
    drop_held_bytes(d);  // command mode keeps nothing for the peer
    return;
  }
  // A chunk on its way goes on when the link is writable.
  if (serial_send_pending(d)) return;
  if (d.out_len == 0) {
    forwarding_idle(ms, ls, now);
    return;
  }
  if (d.out_len < SERIAL_BUF_SIZE && ms.settings.sreg_split != 0 &&
      countdown_expired(&now.wall, ls.split_timer) == 0) {
    return;  // still gathering
  }
  d.sending = 1;
  send_held(ms, ls, now);
  if (!serial_send_pending(d)) forwarding_idle(ms, ls, now);
}
