#include "core/call_control.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "at/caller_id.h"
#include "at/hayes_commands.h"
#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/allow_list.h"
#include "config/dial_target.h"
#include "config/tls_peers.h"
#include "core/dialer.h"
#include "platform/log.h"
#include "platform/log_limit.h"
#include "platform/serial_port.h"
#include "platform/sockets.h"

namespace {

// Without a free descriptor, callers that wait keep the listening socket readable, and every
// pass would fail the same accept: it is left alone for LISTEN_PAUSE_USEC instead.
constexpr int32_t LISTEN_PAUSE_USEC = 100000;

enum call_socket : int { SOCKET_DIAL = 0, SOCKET_RING = 1, SOCKET_DATA = 2 };
enum hangup_outcome : int { CLOSED = 0, FAILED = 1 };  // as the log line words it
enum dtr_effect : int { DTR_KEEP = 0, DTR_DROP = 1 };

struct hangup_rule {
  hangup_cause cause = HANGUP_PEER_SHUTDOWN;
  const char* reason = nullptr;  // nullptr: the text of the error
  hangup_outcome outcome = CLOSED;
  int result = RESULT_NONE;
  dtr_effect dtr = DTR_KEEP;
  call_socket socket = SOCKET_DATA;
};

// Indexed by cause.
constexpr hangup_rule hangup_rules[] = {
    {HANGUP_CONNECT_FAILED, nullptr, FAILED, RESULT_NO_ANSWER, DTR_KEEP, SOCKET_DIAL},
    {HANGUP_DIAL_TIMEOUT, "timeout", FAILED, RESULT_NO_ANSWER, DTR_KEEP, SOCKET_DIAL},
    {HANGUP_CALLEE_BUSY, "peer shutdown", FAILED, RESULT_BUSY, DTR_KEEP, SOCKET_DIAL},
    {HANGUP_RING_RECV_ERROR, "recv error", FAILED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_RING},
    {HANGUP_CALLER_GONE, "peer shutdown", CLOSED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_RING},
    {HANGUP_RING_RECONNECT, "reconnect", CLOSED, RESULT_NONE, DTR_KEEP, SOCKET_RING},
    {HANGUP_ANSWER_SEND_ERROR, "send_error", FAILED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_RING},
    {HANGUP_RECONNECT, "reconnect", CLOSED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_DATA},
    {HANGUP_ATH, "ATH", CLOSED, RESULT_OK, DTR_DROP, SOCKET_DATA},
    {HANGUP_ATZ, "ATZ", CLOSED, RESULT_NONE, DTR_DROP, SOCKET_DATA},
    {HANGUP_PEER_SHUTDOWN, "peer shutdown", CLOSED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_DATA},
    {HANGUP_INACTIVITY, "inactivity", CLOSED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_DATA},
    {HANGUP_DTR_DROP, "DTR drop", CLOSED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_DATA},
    {HANGUP_TERMINATION, "program termination", CLOSED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_DATA},
    {HANGUP_PEER_LOST, nullptr, CLOSED, RESULT_NO_CARRIER, DTR_DROP, SOCKET_DATA},
    {HANGUP_NAME_FAILED, "name not resolved", FAILED, RESULT_NO_ANSWER, DTR_KEEP, SOCKET_DIAL},
    {HANGUP_DIAL_DTR_DROP, "DTR drop", FAILED, RESULT_NO_CARRIER, DTR_KEEP, SOCKET_DIAL},
    {HANGUP_HANDSHAKE_FAILED, nullptr, FAILED, RESULT_NO_CARRIER, DTR_KEEP, SOCKET_DIAL},
};

constexpr bool rules_in_cause_order() {
  for (size_t i = 0; i < std::size(hangup_rules); ++i) {
    if (hangup_rules[i].cause != static_cast<hangup_cause>(i)) return false;
  }
  return true;
}
static_assert(rules_in_cause_order());

void close_call_socket(modem_state& ms, loop_state& ls, call_socket which) {
  switch (which) {
    case SOCKET_DIAL:
      // A dial to a name has no dial socket until an attempt has connected.
      name_dial_stop(ls.dialer);
      tls_end(ls.link.tls);
      if (ms.dial_sock.valid()) close_socket(ms.dial_sock);
      return;
    case SOCKET_RING:
      tls_end(ls.link.tls);
      close_socket(ms.ring_sock);
      return;
    case SOCKET_DATA:
      link_close(ls.link);
      return;
  }
}

void reject_connection(loop_state& ls, unique_fd& conn, const net_address& addr, tls_session* tls,
                       const clock_reading& now) {
  if (tls != nullptr) tls_end(*tls);
  turn_away(ls, conn, addr, "rejected", now);
}

// The dialling and ringing sockets carry the call protocol inside the session when the call is
// encrypted.
ssize_t call_recv(loop_state& ls, int fd, void* buf, size_t len) {
  return tls_session_active(ls.link.tls) ? tls_read(ls.link.tls, buf, len)
                                         : recv_bytes(fd, buf, len);
}

ssize_t call_send(loop_state& ls, int fd, const void* buf, size_t len) {
  return tls_session_active(ls.link.tls) ? tls_write(ls.link.tls, buf, len)
                                         : send_bytes(fd, buf, len);
}

// Starts the outgoing handshake on the connected dial socket; false when it cannot start.
bool start_dial_handshake(modem_state& ms, loop_state& ls) {
  // A callee dialled by name must carry that name in its certificate.
  const char* name = ms.peer_name[0] != '\0' ? ms.peer_name.data() : nullptr;
  return tls_session_start(ls.link.tls, ms.tls, ms.dial_sock.get(), false, name);
}

// Takes the outgoing handshake a step; true once the callee's certificate has been accepted.
// A failed handshake ends the dial.
bool dial_handshake_done(modem_state& ms, loop_state& ls) {
  if (tls_handshake_done(ls.link.tls)) return true;
  std::string reason;
  tls_step step = tls_handshake(ls.link.tls, reason);
  if (step == TLS_STEP_DONE &&
      !tls_peers_allow(ms.settings.tls_peers, tls_peer_name(ls.link.tls))) {
    step = TLS_STEP_FAILED;
    reason = "name not allowed (" + tls_peer_name(ls.link.tls) + ")";
  }
  if (step == TLS_STEP_FAILED) {
    reason = "TLS handshake: " + reason;
    call_hangup_because(ms, ls, HANGUP_HANDSHAKE_FAILED, reason.c_str());
    return false;
  }
  if (step == TLS_STEP_WANT) return false;
  log_msg(5, "TCP connection to %s encrypted: %s, peer certificate %s", peer_text(ms),
          tls_parameters(ls.link.tls).c_str(), tls_peer_name(ls.link.tls).c_str());
  return true;
}

}  // namespace

void turn_away(loop_state& ls, unique_fd& conn, const net_address& addr, const char* outcome,
               const clock_reading& now) {
  report_turned_away(ls, now);
  if (log_limit_admit(ls.turned_away_log, now.monotonic)) {
    log_msg(5, "TCP connection from %s %s", addr_text(addr), outcome);
  }
  close_socket(conn);
}

void pause_listening(loop_state& ls, int error, const clock_reading& now) {
  ls.listen_paused = true;
  countdown_start_at(ls.listen_pause, 0, LISTEN_PAUSE_USEC, now.wall);
  report_turned_away(ls, now);
  if (log_limit_admit(ls.turned_away_log, now.monotonic)) {
    log_msg(4, "accept error: %s; not accepting for 100 ms", strerror(error));
  }
}

void start_dial(modem_state& ms, loop_state& ls, const clock_reading& now) {
  // A DTR drop ends a dial when it has lasted S25 from the first pass of this dial that sees it.
  ls.dtr_drop_timing = 0;
  countdown_stop(ls.dtr_timer);
  if (ms.peer_name[0] != '\0') {
    name_dial_start(ms, ls, now);
    return;
  }
  if (ms.paths.dial_loopback_only && !on_this_machine(ms.peer_addr)) {
    log_msg(4, "sandbox: %s is not on this machine; dialling only loopback",
            addr_text(ms.peer_addr));
    send_code(ms, RESULT_NO_ANSWER);
    ms.peer_addr = net_address{};
    return;
  }
  log_msg(6, "Trying to connect to %s", addr_text(ms.peer_addr));
  unique_fd sock(tcp_socket(ms.peer_addr.family));
  uint32_t default_port = dial_default_port(ms.settings, ms.peer_tls);
  if (!sock.valid()) {
    log_msg(3, "create socket error: %s", strerror(errno));
  } else if (set_nonblocking(sock.get()) != 0) {
    log_msg(3, "set NONBLOCK flag errot: %s", strerror(errno));
  } else if (sock.get() >= FD_SETSIZE) {
    log_msg(3, "create socket error: %s", strerror(EMFILE));
  } else if (tcp_connect(sock.get(), ms.peer_addr, default_port) == 0 || errno == EINPROGRESS) {
    countdown_start_at(ls.dial_timer, saturated_seconds(ms.settings.sreg_conn_tout), 0, now.wall);
    ms.call_state = CALL_DIALING;
    ms.dial_sock = std::move(sock);
    ls.dial_connected = 0;
    return;
  } else {
    log_msg(3, "connect socket error: %s", strerror(errno));
  }
  sock.reset();
  send_code(ms, RESULT_BUSY);
  ms.peer_addr = net_address{};
}

void dial_socket_writable(modem_state& ms, loop_state& ls) {
  int error = 0;
  if (socket_error(ms.dial_sock.get(), &error) != 0) {
    // The outcome of the connect cannot be known; the attempt has failed.
    error = errno;
    log_msg(3, "getsockopt error: %s", strerror(error));
  }
  if (error != 0) {
    call_hangup(ms, ls, HANGUP_CONNECT_FAILED, error);
    return;
  }
  dial_established(ms, ls);
}

void dial_established(modem_state& ms, loop_state& ls) {
  ls.dial_connected = 1;
  log_msg(5, "TCP connection to %s established", peer_text(ms));
  if (!ms.peer_tls) return;
  if (!start_dial_handshake(ms, ls)) {
    call_hangup_because(ms, ls, HANGUP_HANDSHAKE_FAILED, "TLS session cannot start");
    return;
  }
  (void)dial_handshake_done(ms, ls);  // the first flight goes out now
}

void dial_socket_readable(modem_state& ms, loop_state& ls, const clock_reading& now) {
  // An encrypted call's answer comes after the handshake, still within S7.
  if (tls_session_active(ls.link.tls) && !dial_handshake_done(ms, ls)) return;
  unsigned char answer = 0;
  ssize_t n = call_recv(ls, ms.dial_sock.get(), &answer, 1);
  if (n < 0) {
    // The callee judges this modem's certificate after the calling end's part of the handshake
    // is over: its refusal (logged as a TLS error) comes instead of the answer.
    if (errno == EPROTO) {
      call_hangup_because(ms, ls, HANGUP_HANDSHAKE_FAILED, "TLS handshake: refused by the callee");
      return;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) log_msg(3, "recv error: %s", strerror(errno));
    return;
  }
  if (n == 0) {
    // The callee closed without answering: it is busy with another call or went away.
    call_hangup(ms, ls, HANGUP_CALLEE_BUSY);
    return;
  }
  go_online(ms, ls, ls.connect_code, &ms.dial_sock, now);
}

void ring_socket_readable(modem_state& ms, loop_state& ls) {
  // What the caller sends before the answer is thrown away, a buffer's worth per pass: a
  // caller that keeps sending must not cost a pass per byte and hide its hang-up behind them.
  unsigned char discard[TCP_BUF_SIZE];
  ssize_t n = call_recv(ls, ms.ring_sock.get(), discard, sizeof discard);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    log_msg(3, "recv error: %s", strerror(errno));
    call_hangup(ms, ls, HANGUP_RING_RECV_ERROR);
  } else if (n == 0) {
    call_hangup(ms, ls, HANGUP_CALLER_GONE);
  }
}

unique_fd accept_allowed(modem_state& ms, loop_state& ls, int listen_fd, net_address& addr,
                         const clock_reading& now) {
  unique_fd conn(accept_connection(listen_fd, &addr));
  if (!conn.valid()) {
    if (errno == EMFILE || errno == ENFILE) pause_listening(ls, errno, now);
    return conn;
  }
  // A caller that is not allowed changes nothing: no RING, S1 and any call left as they are.
  if (!allow_list_permits(ms.allowed, addr)) turn_away(ls, conn, addr, "not allowed", now);
  return conn;
}

void accept_call(modem_state& ms, loop_state& ls, const clock_reading& now) {
  net_address addr;
  unique_fd conn = accept_allowed(ms, ls, ms.listen_sock.get(), addr, now);
  if (!conn.valid()) return;
  if (conn.get() >= FD_SETSIZE) {
    reject_connection(ls, conn, addr, nullptr, now);
    return;
  }
  ring_caller(ms, ls, conn, addr, nullptr, now);
}

void ring_caller(modem_state& ms, loop_state& ls, unique_fd& conn, const net_address& addr,
                 tls_session* tls, const clock_reading& now) {
  switch (ms.call_state) {
    case CALL_DIALING:
      reject_connection(ls, conn, addr, tls, now);
      return;
    case CALL_RINGING:
      if (!net_same_host(addr, ms.peer_addr)) {
        reject_connection(ls, conn, addr, tls, now);
        return;
      }
      // The caller dialled again: ringing goes on for the new connection.
      call_hangup(ms, ls, HANGUP_RING_RECONNECT);
      break;
    case CALL_CONNECTED:
      if (!net_same_host(addr, ms.peer_addr)) {
        reject_connection(ls, conn, addr, tls, now);
        return;
      }
      call_hangup(ms, ls, HANGUP_RECONNECT);
      ls.answer_requested = 0;
      ms.ring_count = 0;
      break;
    case CALL_IDLE:
      ls.answer_requested = 0;
      ms.ring_count = 0;
      break;
  }
  log_msg(5, "TCP connection from %s established", addr_text(addr));
  if (tls != nullptr) {
    log_msg(5, "TCP connection from %s encrypted: %s, peer certificate %s", addr_text(addr),
            tls_parameters(*tls).c_str(), tls_peer_name(*tls).c_str());
    ls.link.tls = std::move(*tls);
  }
  ms.call_state = CALL_RINGING;
  ms.peer_addr = addr;
  ms.ring_sock = std::move(conn);
}

void check_listen_pause(loop_state& ls, const clock_reading& now) {
  if (ls.listen_paused && countdown_expired(&now.wall, ls.listen_pause) != 0) {
    ls.listen_paused = false;
  }
}

void report_turned_away(loop_state& ls, const clock_reading& now) {
  uint32_t counted = log_limit_expire(ls.turned_away_log, now.monotonic);
  if (counted != 0) {
    log_msg(5, "%u more connections refused or rejected in the last %d s", counted,
            LOG_LIMIT_PERIOD_SEC);
  }
}

void answer_call(modem_state& ms, loop_state& ls, const clock_reading& now) {
  unsigned char answer = ANSWER_BYTE;
  if (call_send(ls, ms.ring_sock.get(), &answer, 1) < 0) {
    log_msg(3, "send error: %s", strerror(errno));
    call_hangup(ms, ls, HANGUP_ANSWER_SEND_ERROR);
    return;
  }
  go_online(ms, ls, ls.connect_code, &ms.ring_sock, now);
}

void go_online(modem_state& ms, loop_state& ls, int result, unique_fd* slot,
               const clock_reading& now) {
  const modem_settings& s = ms.settings;
  set_modem_lines(ms.serial_fd.get(), TIOCM_DTR, 1);
  send_code(ms, result);
  if (slot != nullptr) {
    uint32_t span_ms = 0;
    if (s.keepalive == 1) {
      span_ms =
          enable_keepalive(slot->get(), s.keepalive_time, s.keepalive_intvl, s.keepalive_probes);
      log_msg(6, "TCP keepalive activated");
    }
    link_watch(ls.link, span_ms);
    ls.link.sock = std::move(*slot);
    bool encrypted = tls_session_active(ls.link.tls);
    ls.link.kind = encrypted ? &tls_link : &plain_link;
    ms.call_encryption.clear();
    if (encrypted) {
      ms.call_encryption =
          tls_parameters(ls.link.tls) + ", peer certificate " + tls_peer_name(ls.link.tls);
    }
  }
  if (ms.call_state != CALL_CONNECTED) log_msg(6, "peer is connected");
  ms.call_state = CALL_CONNECTED;
  if (ms.online == 0) log_msg(6, "going on-line (data mode)");
  ms.online = 1;
  if (s.sreg_hup_delay != 0) {
    countdown_start_at(ls.inactivity_timer, ms.inactivity_timeout_sec, 0, now.wall);
  }
  if (s.sreg_esc_delay != 0) {
    countdown_start_at(ls.guard_timer, ms.escape_guard_sec, ms.escape_guard_usec, now.wall);
  }
  ls.escape_count = 0;
  if (s.stat_dtr_action != 0 && s.sreg_dtr_ignore != 0) {
    countdown_start_at(ls.dtr_timer, ms.dtr_ignore_sec, ms.dtr_ignore_usec, now.wall);
  }
  ls.dtr_drop_timing = 1;
}

void call_hangup(modem_state& ms, loop_state& ls, hangup_cause cause, int error) {
  call_hangup_because(ms, ls, cause, strerror(error));
}

void call_hangup_because(modem_state& ms, loop_state& ls, hangup_cause cause, const char* reason) {
  const hangup_rule& rule = hangup_rules[cause];
  if (ms.online == 1) log_msg(6, "going off-line (command mode)");
  if (ms.call_state == CALL_CONNECTED) log_msg(6, "peer is disconnected");
  log_msg(6, "TCP connection to %s %s: %s", peer_text(ms),
          rule.outcome == FAILED ? "failed" : "closed",
          rule.reason != nullptr ? rule.reason : reason);
  if (rule.dtr == DTR_DROP && carrier_follows_call(ms))
    set_modem_lines(ms.serial_fd.get(), TIOCM_DTR, 0);
  send_code(ms, rule.result);
  ms.peer_addr = net_address{};
  ms.peer_name[0] = '\0';
  ms.call_state = CALL_IDLE;
  ms.online = 0;
  ms.peer_tls = false;
  ms.call_encryption.clear();
  drop_held_bytes(ls.link);
  close_call_socket(ms, ls, rule.socket);
}

void check_dial_timeout(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (countdown_expired(&now.wall, ls.dial_timer) != 0) call_hangup(ms, ls, HANGUP_DIAL_TIMEOUT);
}

bool answer_due(const modem_state& ms, const loop_state& ls) {
  uint32_t auto_answer = ms.settings.sreg_auto_answer;
  return ls.answer_requested == 1 || (auto_answer != 0 && ms.ring_count >= auto_answer);
}

void check_ringing(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (answer_due(ms, ls)) {
    answer_call(ms, ls, now);
    return;
  }
  if (ms.ring_count == 0 || now.monotonic >= ls.next_ring_time) {
    send_code(ms, RESULT_RING);
    ms.ring_count++;
    caller_id_after_ring(ms, ms.peer_addr, tls_peer_name(ls.link.tls), now.wall);
    int64_t next = int64_t{now.monotonic} + ms.settings.sreg_ring_int;
    ls.next_ring_time = next > INT32_MAX ? INT32_MAX : static_cast<int>(next);
  }
}

void run_pending_action(modem_state& ms, loop_state& ls, const clock_reading& now) {
  int action = ms.pending_action;
  ms.pending_action = ACTION_NONE;
  switch (action) {
    case ACTION_ANSWER:
      if (ms.call_state == CALL_RINGING && ms.settings.sreg_auto_answer == 0) {
        ls.answer_requested = 1;
      } else {
        send_code(ms, RESULT_ERROR);
      }
      break;
    case ACTION_DIAL:
      if (ms.call_state == CALL_IDLE) {
        start_dial(ms, ls, now);
      } else {
        send_code(ms, ms.call_state == CALL_RINGING ? RESULT_BUSY : RESULT_ERROR);
        ms.peer_addr = net_address{};
        ms.peer_name[0] = '\0';
      }
      break;
    case ACTION_HANGUP:
      if (ms.call_state == CALL_CONNECTED) {
        call_hangup(ms, ls, HANGUP_ATH);
      } else {
        send_code(ms, RESULT_ERROR);
      }
      break;
    case ACTION_ONLINE:
      if (ms.call_state == CALL_CONNECTED && ms.online == 0) {
        go_online(ms, ls, ls.connect_code, nullptr, now);
      } else {
        send_code(ms, RESULT_ERROR);
      }
      break;
    case ACTION_RESET:
      if (ms.call_state == CALL_CONNECTED) {
        call_hangup(ms, ls, HANGUP_ATZ);
      }
      break;
    default:
      break;
  }
}
