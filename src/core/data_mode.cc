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

// Accounts for one write of held bytes, `done` of their `len` being out already. A write the
// destination refuses for now (EAGAIN) keeps them; any other failure is logged as "<what> error"
// and drops them. Returns true when they are gone, written out or dropped.
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

// Bytes go to the peer: unless bytes wait already, they wait from now on.
void start_waiting(data_path& d, const clock_reading& now) {
  if (d.dead_peer_span_ms == 0 || d.bytes_waiting) return;
  d.bytes_waiting = true;
  d.waited_span = false;
  auto span_ms = static_cast<int32_t>(d.dead_peer_span_ms);
  countdown_start_at(d.waiting_timer, span_ms / 1000, span_ms % 1000 * 1000, now.wall);
}

// Drops the bytes on their way to the peer: the write under way and those read behind it.
void drop_serial_bytes(data_path& d) {
  d.out_len = 0;
  d.out_sent = 0;
  d.sending = 0;
  d.send_held = false;
  countdown_stop(d.send_retry);
}

// The link takes no more of the write for now: the rest waits for the link to be writable, or
// for the retry, which comes twice as late each time a try has `moved` nothing.
void hold_send(data_path& d, bool moved, const clock_reading& now) {
  if (moved || !d.send_held) {
    d.send_retry_usec = SEND_RETRY_FIRST_USEC;
  } else {
    d.send_retry_usec = std::min(d.send_retry_usec * 2, SEND_RETRY_LAST_USEC);
  }
  d.send_held = true;
  countdown_start_at(d.send_retry, 0, d.send_retry_usec, now.wall);
}

// Sends the write under way, then, when the link had held it back, the bytes read behind it
// (they have waited already: no forwarding delay), until the link takes no more or a send fails.
void send_held(modem_state& ms, loop_state& ls, const clock_reading& now) {
  data_path& d = ls.data;
  start_waiting(d, now);
  bool moved = false;
  for (;;) {
    ssize_t n =
        link_write(ls.link, d.out.data() + d.out_sent, static_cast<size_t>(d.sending - d.out_sent));
    if (n > 0) ls.records.call.dte_to_net += static_cast<uint64_t>(n);
    if (n < 0) {
      int err = errno;
      if (would_block(err)) {
        hold_send(d, moved, now);
        return;
      }
      log_msg(3, "send error: %s", strerror(err));
      drop_serial_bytes(d);
      if (err == ETIMEDOUT) call_hangup(ms, ls, HANGUP_PEER_LOST, err);
      return;
    }
    d.out_sent += static_cast<int>(n);
    if (n > 0) {
      moved = true;
      restart_inactivity(ms, ls, now);
    }
    // A short write goes on at once: a socket that is full says so with EAGAIN at the next
    // try, and a layer that takes a chunk a write (telnet) is not full.
    if (d.out_sent < d.sending) {
      if (n > 0) continue;
      hold_send(d, moved, now);
      return;
    }
    bool held = d.send_held;
    memmove(d.out.data(), d.out.data() + d.sending, static_cast<size_t>(d.out_len - d.sending));
    d.out_len -= d.sending;
    d.out_sent = 0;
    d.sending = 0;
    d.send_held = false;
    countdown_stop(d.send_retry);
    if (!held || d.out_len == 0) return;
    d.sending = std::min(d.out_len, SEND_MAX);
    d.send_held = true;
  }
}

// Whether the peer is silent: it has left a segment with data, sent after its last
// acknowledgement, unanswered (or two window probes in a row). A peer that takes nothing but
// answers every probe is not, however far apart the kernel's back-off spaces the probes
// (minutes) and however long it has acknowledged no new data. When it is, `left_ms` says how
// long until it is gone: until it has acknowledged nothing for the span and left the segment
// unanswered for a probe interval (0: it is gone).
bool peer_gone_in(const data_path& d, const tcp_progress& p, uint32_t& left_ms) {
  uint32_t unanswered_left = 0;
  if (p.probes < 2) {
    if (p.last_data_sent_ms >= p.last_ack_recv_ms) return false;
    if (p.last_data_sent_ms < d.probe_interval_ms) {
      unanswered_left = d.probe_interval_ms - p.last_data_sent_ms;
    }
  }
  uint32_t span_left =
      p.last_ack_recv_ms < d.dead_peer_span_ms ? d.dead_peer_span_ms - p.last_ack_recv_ms : 0;
  left_ms = std::max(unanswered_left, span_left);
  return true;
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
  // Data mode gathers up to a write's worth, or reads ahead behind a send; command mode reads a
  // buffer for the line editor.
  int room = ms.online == 1 ? serial_read_room(d) : SERIAL_BUF_SIZE - d.out_len;
  char* dst = d.out.data() + d.out_len;
  ssize_t n = fd_read(ms.serial_fd.get(), dst, static_cast<size_t>(std::max(room, 0)));
  if (n < 0) {
    if (would_block(errno)) return;
    log_msg(3, "read error (com): %s", strerror(errno));
    drop_serial_bytes(d);
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
    // A read of a chunk or more says that more may wait (a pty hands over 4 KiB a read): read
    // on, so that they go in the same write. What a read brings no more (EAGAIN, a failure)
    // shows at the next pass.
    while (n >= SERIAL_BUF_SIZE && !serial_send_pending(d) && serial_read_room(d) > 0) {
      dst = d.out.data() + d.out_len;
      n = fd_read(ms.serial_fd.get(), dst, static_cast<size_t>(serial_read_room(d)));
      if (n <= 0) break;
      d.out_len += static_cast<int>(n);
      data_mode_input(ms, ls, dst, static_cast<int>(n), now);
    }
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
  ssize_t n = link_read(ls.link, d.in.data(), static_cast<size_t>(d.in_room));
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
  // What the port took at once sizes the next receive: twice as much while it takes all that a
  // full receive brings, what it took when it took less.
  if (d.in_len == 0 && n == d.in_room) {
    d.in_room = std::min(2 * d.in_room, PEER_READ_MAX);
  } else if (d.in_len != 0) {
    d.in_room = std::max(d.in_written, PEER_READ_MIN);
  }
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
  uint32_t left_ms = 0;
  if (!peer_gone_in(d, p, left_ms)) return;
  if (left_ms == 0) {
    if (d.waited_span) call_hangup(ms, ls, HANGUP_PEER_LOST, ETIMEDOUT);
    return;
  }
  // Gone in a little less than a second (the kernel counts in ticks): look again then instead of
  // at the next second.
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
  // A send on its way goes on when the link is writable, and is tried again on its own time.
  if (serial_send_pending(d)) {
    if (d.send_held && countdown_expired(&now.wall, d.send_retry) != 0) {
      link_writable(ms, ls, now);
    }
    return;
  }
  if (d.out_len == 0) {
    forwarding_idle(ms, ls, now);
    return;
  }
  // Whole chunks go at once, a partial one when the forwarding delay has run out; bytes that
  // wait together go in one write.
  bool partial_too =
      ms.settings.sreg_split == 0 || countdown_expired(&now.wall, ls.split_timer) != 0;
  int end = partial_too ? d.out_len : d.out_len / SERIAL_BUF_SIZE * SERIAL_BUF_SIZE;
  if (end == 0) return;  // still gathering
  d.sending = std::min(end, SEND_MAX);
  send_held(ms, ls, now);
  if (!serial_send_pending(d)) forwarding_idle(ms, ls, now);
}
