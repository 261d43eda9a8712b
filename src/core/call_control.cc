#include "core/call_control.h"

#include <sys/ioctl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "at/caller_id.h"
#include "at/hayes_commands.h"
#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/allow_list.h"
#include "config/dial_target.h"
#include "config/tls_peers.h"
#include "core/call_record.h"
#include "core/dtr_watch.h"
#include "core/metrics.h"
#include "core/telnet_layer.h"
#include "modem/modem_lines.h"
#include "platform/log.h"
#include "platform/log_limit.h"
#include "platform/sockets.h"

namespace {

// Without a free descriptor, callers that wait keep the listening socket readable, and every
// pass would fail the same accept: it is left alone for LISTEN_PAUSE_USEC instead.
constexpr int32_t LISTEN_PAUSE_USEC = 100000;

enum hangup_outcome : int { CLOSED = 0, FAILED = 1 };  // as the log line words it
enum dtr_effect : int { DTR_KEEP = 0, DTR_DROP = 1 };

struct hangup_rule {
  hangup_cause cause = HANGUP_PEER_SHUTDOWN;
  const char* reason = nullptr;  // nullptr: the text of the error
  hangup_outcome outcome = CLOSED;
  int result = RESULT_NONE;
  dtr_effect dtr = DTR_KEEP;
};

// Indexed by cause.
constexpr hangup_rule hangup_rules[] = {
    {HANGUP_CONNECT_FAILED, nullptr, FAILED, RESULT_NO_ANSWER, DTR_KEEP},
    {HANGUP_DIAL_TIMEOUT, "timeout", FAILED, RESULT_NO_ANSWER, DTR_KEEP},
    {HANGUP_CALLEE_BUSY, "peer shutdown", FAILED, RESULT_BUSY, DTR_KEEP},
    {HANGUP_RING_RECV_ERROR, "recv error", FAILED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_CALLER_GONE, "peer shutdown", CLOSED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_RING_RECONNECT, "reconnect", CLOSED, RESULT_NONE, DTR_KEEP},
    {HANGUP_ANSWER_SEND_ERROR, "send_error", FAILED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_RECONNECT, "reconnect", CLOSED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_ATH, "ATH", CLOSED, RESULT_OK, DTR_DROP},
    {HANGUP_ATZ, "ATZ", CLOSED, RESULT_NONE, DTR_DROP},
    {HANGUP_PEER_SHUTDOWN, "peer shutdown", CLOSED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_INACTIVITY, "inactivity", CLOSED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_DTR_DROP, "DTR drop", CLOSED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_TERMINATION, "program termination", CLOSED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_PEER_LOST, nullptr, CLOSED, RESULT_NO_CARRIER, DTR_DROP},
    {HANGUP_NAME_FAILED, "name not resolved", FAILED, RESULT_NO_ANSWER, DTR_KEEP},
    {HANGUP_DIAL_DTR_DROP, "DTR drop", FAILED, RESULT_NO_CARRIER, DTR_KEEP},
    {HANGUP_HANDSHAKE_FAILED, nullptr, FAILED, RESULT_NO_CARRIER, DTR_KEEP},
    {HANGUP_NO_SOCKET, nullptr, FAILED, RESULT_BUSY, DTR_KEEP},
};

constexpr bool rules_in_cause_order() {
  for (size_t i = 0; i < std::size(hangup_rules); ++i) {
    if (hangup_rules[i].cause != static_cast<hangup_cause>(i)) return false;
  }
  return true;
}
static_assert(rules_in_cause_order());

// What each way a dial fails means for the call: the one place that picks its result code.
constexpr hangup_cause dial_failure_causes[] = {
    HANGUP_NO_SOCKET,       // DIAL_NO_SOCKET: BUSY
    HANGUP_CONNECT_FAILED,  // DIAL_NOT_CONNECTED: NO ANSWER
    HANGUP_NAME_FAILED,     // DIAL_NOT_RESOLVED: NO ANSWER
    HANGUP_CONNECT_FAILED,  // DIAL_NOT_HERE: NO ANSWER
};

bool dialling_name(const modem_state& ms) { return ms.peer_name[0] != '\0'; }

// What the "established" and "from" lines add for a peer that is not a daemon: " (raw)",
// " (telnet)"; nothing for a daemon, whose lines stay as they always were.
std::string kind_note(peer_kind kind) {
  if (kind == PEER_DAEMON) return "";
  return std::string(" (") + peer_kind_name(kind) + ")";
}

// A telnet call's link gets the telnet layer as soon as its connection is up: the client's on a
// call this modem made, the server's on a caller that rings (so that the caller's requests are
// answered while it waits).
void start_peer_protocol(const modem_state& ms, call_link& link, telnet_role role) {
  if (link.kind != PEER_TELNET) return;
  (void)link_start_telnet(link, role, ms.settings.telnet_terminal.c_str());
}

// The dial's connection is up, and its handshake done where it is encrypted: a daemon's answer
// byte is awaited next; the call to any other peer starts now.
void dial_complete(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (ms.peer_kind == PEER_DAEMON) {
    ls.link.state = LINK_AWAITING_ANSWER;
    return;
  }
  ls.link.kind = ms.peer_kind;
  start_peer_protocol(ms, ls.link, TELNET_CLIENT);
  go_online(ms, ls, ls.connect_code, true, now);
}

// The dial is under way: S7 runs from now, and a DTR drop is timed from the first pass that
// sees it.
void enter_dialing(modem_state& ms, loop_state& ls, const clock_reading& now) {
  countdown_start_at(ls.dial_timer, saturated_seconds(ms.settings.sreg_conn_tout), 0, now.wall);
  ms.call_state = CALL_DIALING;
  dtr_forget(ls);
}

// The dial failed. A dial to an address that could not even start is no call: the DTE gets the
// result code and the modem stays idle. Any other dial ends like a call.
void dial_failed(modem_state& ms, loop_state& ls) {
  hangup_cause cause = dial_failure_causes[ls.dial.failure];
  if (ms.call_state == CALL_DIALING) {
    call_hangup(ms, ls, cause, ls.dial.error);
    return;
  }
  record_end(ms, ls, cause, hangup_rules[cause].result,
             ls.dial.error != 0 ? strerror(ls.dial.error) : "not on this machine");
  send_code(ms, hangup_rules[cause].result);
  ms.peer_addr = net_address{};
  ms.peer_tls = false;
  ms.peer_kind = PEER_DAEMON;
}

// Why the callee's first bytes, before the session has read any, end the dial: they cannot
// begin a TLS record (a plain callee's answer byte, another service's greeting), or looking at
// them met the connection's failure (worded as the handshake would word it). Empty otherwise.
std::string first_bytes_fault(call_link& link) {
  unsigned char first[3];
  ssize_t n = 0;
  if (tls_bytes_received(link.tls) != 0) {
    // The session has read them already (in the step that sent its hello, say).
    n = static_cast<ssize_t>(tls_first_bytes(link.tls, first, sizeof first));
  } else {
    n = peek_bytes(link.sock.get(), first, sizeof first);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      return std::string("TLS handshake: ") + strerror(errno);
    }
  }
  if (n > 0 && !tls_record_start(first, static_cast<size_t>(n), false)) {
    return "the callee does not speak TLS";
  }
  return "";
}

// Takes the outgoing handshake a step; true once the callee's certificate has been accepted
// (the dial is then complete). A failed handshake ends the dial, as do first bytes that are not
// TLS (at once: the session would wait for the rest of a record that never comes).
bool dial_handshake_done(modem_state& ms, loop_state& ls, const clock_reading& now) {
  call_link& link = ls.link;
  if (link.state != LINK_HANDSHAKING) return true;
  std::string reason = first_bytes_fault(link);
  if (!reason.empty()) {
    call_hangup_because(ms, ls, HANGUP_HANDSHAKE_FAILED, reason.c_str());
    return false;
  }
  tls_step step = tls_handshake(link.tls, reason);
  if (step == TLS_STEP_DONE && !tls_peers_allow(ms.tls_peers, tls_peer_name(link.tls))) {
    step = TLS_STEP_FAILED;
    reason = "name not allowed (" + tls_peer_name(link.tls) + ")";
  }
  if (step == TLS_STEP_FAILED) {
    reason = "TLS handshake: " + reason;
    call_hangup_because(ms, ls, HANGUP_HANDSHAKE_FAILED, reason.c_str());
    return false;
  }
  if (step == TLS_STEP_WANT) {
    // The step may have read the callee's first bytes: the session would wait for the rest of
    // a record that never comes.
    reason = first_bytes_fault(link);
    if (!reason.empty()) call_hangup_because(ms, ls, HANGUP_HANDSHAKE_FAILED, reason.c_str());
    return false;
  }
  log_msg(5, "TCP connection to %s encrypted: %s, peer certificate %s", peer_text(ms),
          tls_parameters(link.tls).c_str(), tls_peer_name(link.tls).c_str());
  dial_complete(ms, ls, now);
  return true;
}

// The dial's connection is up in the call's link: the dial is complete, after the handshake
// when the call is encrypted.
void dial_established(modem_state& ms, loop_state& ls, const clock_reading& now) {
  ms.peer_addr = ls.link.peer;
  log_msg(5, "TCP connection to %s established%s", peer_text(ms), kind_note(ms.peer_kind).c_str());
  if (!ms.peer_tls) {
    dial_complete(ms, ls, now);
    return;
  }
  // A callee dialled by name must carry that name in its certificate.
  const char* name = dialling_name(ms) ? ms.peer_name.data() : nullptr;
  if (!link_start_tls(ls.link, ms.tls, false, name)) {
    call_hangup_because(ms, ls, HANGUP_HANDSHAKE_FAILED, "TLS session cannot start");
    return;
  }
  (void)dial_handshake_done(ms, ls, now);  // the first flight goes out now
}

void reject(loop_state& ls, call_link& caller, const clock_reading& now) {
  turn_away(ls, caller, "rejected", now);
}

// Why `caller`, from the host of the present call, may not take its place; empty when it may.
// A caller replaces only a call it could have made itself: a plain caller never an encrypted
// call, an encrypted caller one whose certificate names the same peer.
std::string replacement_refusal(const loop_state& ls, const call_link& caller) {
  if (!link_encrypted(ls.link)) return "";
  if (!link_encrypted(caller)) return "refused: a plain caller cannot replace an encrypted call";
  std::string name = tls_peer_name(caller.tls), call_name = tls_peer_name(ls.link.tls);
  if (name == call_name) return "";
  return "refused: certificate " + name + " cannot replace the call with " + call_name;
}

}  // namespace

void turn_away(loop_state& ls, call_link& caller, const char* outcome, const clock_reading& now) {
  report_turned_away(ls, now);
  metrics_refusal(ls.metrics, outcome);
  if (log_limit_admit(ls.turned_away_log, now.monotonic)) {
    log_msg(5, "TCP connection from %s %s%s", addr_text(caller.peer), outcome,
            kind_note(caller.kind).c_str());
  }
  link_close(caller);
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
  dial_request request;
  request.address = ms.peer_addr;
  request.name = ms.peer_name.data();
  request.port = ms.peer_port;
  request.loopback_only = ms.paths.dial_loopback_only;
  request.hosts = ms.paths.hosts;
  request.resolv_conf = ms.paths.resolv_conf;
  // A dial to a name is under way from its first step (a lookup can take a while); a dial to an
  // address once its connect has started.
  bool by_name = dialling_name(ms);
  record_dial(ms, ls, now);
  if (by_name) enter_dialing(ms, ls, now);
  if (dialer_start(ls.dial, std::move(request), now) == DIAL_FAILED) {
    dial_failed(ms, ls);
    return;
  }
  if (!by_name) enter_dialing(ms, ls, now);
}

void dial_ready(modem_state& ms, loop_state& ls, const fd_set* read_set, const fd_set* write_set,
                const clock_reading& now) {
  if (ls.dial.status != DIAL_GOING) return;
  resolver_process(ls.dial.resolver, read_set, write_set);
  switch (dialer_step(ls.dial, ls.link, now)) {
    case DIAL_CONNECTED:
      dial_established(ms, ls, now);
      return;
    case DIAL_FAILED:
      dial_failed(ms, ls);
      return;
    default:
      return;
  }
}

void dial_link_ready(modem_state& ms, loop_state& ls, const clock_reading& now) {
  // An encrypted call's answer comes after the handshake, still within S7; a call to a peer that
  // is not a daemon is on-line once the handshake is done.
  if (!dial_handshake_done(ms, ls, now) || ls.link.state != LINK_AWAITING_ANSWER) return;
  unsigned char answer = 0;
  ssize_t n = link_read(ls.link, &answer, 1);
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
  go_online(ms, ls, ls.connect_code, true, now);
}

void ringing_link_ready(modem_state& ms, loop_state& ls, const clock_reading&) {
  // What the caller sends before the answer is thrown away, a buffer's worth per pass: a
  // caller that keeps sending must not cost a pass per byte and hide its hang-up behind them.
  unsigned char discard[TCP_BUF_SIZE];
  ssize_t n = link_read(ls.link, discard, sizeof discard);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    log_msg(3, "recv error: %s", strerror(errno));
    call_hangup(ms, ls, HANGUP_RING_RECV_ERROR);
  } else if (n == 0) {
    call_hangup(ms, ls, HANGUP_CALLER_GONE);
  }
}

bool accept_allowed(modem_state& ms, loop_state& ls, int listen_fd, call_link& caller,
                    const clock_reading& now, peer_kind kind) {
  net_address addr;
  unique_fd conn(accept_connection(listen_fd, &addr));
  if (!conn.valid()) {
    if (errno == EMFILE || errno == ENFILE) pause_listening(ls, errno, now);
    return false;
  }
  link_adopt(caller, std::move(conn), addr, LINK_RINGING);
  caller.kind = kind;
  // A caller that is not allowed changes nothing: no RING, S1 and any call left as they are.
  if (!allow_list_permits(ms.allowed, addr)) {
    turn_away(ls, caller, "not allowed", now);
    return false;
  }
  return true;
}

bool line_busy_for(const modem_state& ms, const net_address& caller) {
  if (ms.call_state == CALL_IDLE) return false;
  return ms.call_state == CALL_DIALING || !net_same_host(caller, ms.peer_addr);
}

void ring_caller(modem_state& ms, loop_state& ls, call_link& caller, const clock_reading& now) {
  if (line_busy_for(ms, caller.peer)) {
    reject(ls, caller, now);
    return;
  }
  bool busy = ms.call_state != CALL_IDLE;
  std::string refusal = busy ? replacement_refusal(ls, caller) : "";
  if (!refusal.empty()) {
    turn_away(ls, caller, refusal.c_str(), now);
    return;
  }
  if (ms.call_state == CALL_RINGING) {
    // The caller dialled again: ringing goes on for the new connection.
    call_hangup(ms, ls, HANGUP_RING_RECONNECT);
  } else {
    if (busy) call_hangup(ms, ls, HANGUP_RECONNECT);
    ls.answer_requested = 0;
    ms.ring_count = 0;
  }
  log_msg(5, "TCP connection from %s established%s", addr_text(caller.peer),
          kind_note(caller.kind).c_str());
  if (link_encrypted(caller)) {
    log_msg(5, "TCP connection from %s encrypted: %s, peer certificate %s", addr_text(caller.peer),
            tls_parameters(caller.tls).c_str(), tls_peer_name(caller.tls).c_str());
  }
  record_ring(ls, caller, now);
  ms.call_state = CALL_RINGING;
  ms.peer_addr = caller.peer;
  ms.peer_kind = caller.kind;
  link_move(ls.link, caller);
  ls.link.state = LINK_RINGING;
  start_peer_protocol(ms, ls.link, TELNET_SERVER);
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
  // Only a daemon waits for the answer byte; any other caller's call simply starts.
  if (ms.peer_kind == PEER_DAEMON && link_write(ls.link, &answer, 1) < 0) {
    log_msg(3, "send error: %s", strerror(errno));
    call_hangup(ms, ls, HANGUP_ANSWER_SEND_ERROR);
    return;
  }
  go_online(ms, ls, ls.connect_code, true, now);
}

void go_online(modem_state& ms, loop_state& ls, int result, bool new_call,
               const clock_reading& now) {
  const modem_settings& s = ms.settings;
  modem_lines_set(ms, TIOCM_DTR, true);
  send_code(ms, result);
  if (new_call) {
    uint32_t span_ms = 0;
    uint32_t interval_ms = 0;
    if (s.keepalive == 1) {
      span_ms = enable_keepalive(ls.link.sock.get(), s.keepalive_time, s.keepalive_intvl,
                                 s.keepalive_probes);
      interval_ms = keepalive_span_ms(0, s.keepalive_intvl, 1);
      log_msg(6, "TCP keepalive activated");
    }
    watch_dead_peer(ls.data, span_ms, interval_ms);
    record_answer(ls, now);
    ls.link.state = LINK_CONNECTED;
    ms.call_encryption.clear();
    if (link_encrypted(ls.link)) {
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
  record_end(ms, ls, cause, rule.result, rule.reason != nullptr ? rule.reason : reason);
  if (ms.online == 1) log_msg(6, "going off-line (command mode)");
  if (ms.call_state == CALL_CONNECTED) log_msg(6, "peer is disconnected");
  log_msg(6, "TCP connection to %s %s: %s", peer_text(ms),
          rule.outcome == FAILED ? "failed" : "closed",
          rule.reason != nullptr ? rule.reason : reason);
  if (rule.dtr == DTR_DROP && carrier_follows_call(ms)) modem_lines_set(ms, TIOCM_DTR, false);
  send_code(ms, rule.result);
  ms.peer_addr = net_address{};
  ms.peer_name[0] = '\0';
  ms.call_state = CALL_IDLE;
  ms.online = 0;
  ms.peer_tls = false;
  ms.peer_kind = PEER_DAEMON;
  ms.call_encryption.clear();
  drop_held_bytes(ls.data);
  dialer_stop(ls.dial);
  link_close(ls.link);
}

void check_dial_timeout(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (countdown_expired(&now.wall, ls.dial_timer) == 0) return;
  // S7 ran out before the name servers answered: the name was not resolved, as for any other
  // lookup that fails.
  if (dialer_looking_up(ls.dial)) {
    log_msg(4, "host name %s not resolved: timeout", ms.peer_name.data());
    call_hangup(ms, ls, HANGUP_NAME_FAILED);
    return;
  }
  call_hangup(ms, ls, HANGUP_DIAL_TIMEOUT);
}

bool dial_watches_dtr(const modem_state& ms) {
  return dialling_name(ms) && ms.settings.stat_dtr_action == 2;
}

void check_dial_dtr(modem_state& ms, loop_state& ls, const clock_reading& now) {
  if (dial_watches_dtr(ms) && dtr_dropped(ms, ls, now)) {
    call_hangup(ms, ls, HANGUP_DIAL_DTR_DROP);
  }
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
        go_online(ms, ls, ls.connect_code, false, now);
      } else {
        send_code(ms, RESULT_ERROR);
      }
      break;
    case ACTION_RESET:
      // The name servers are read again at the next lookup.
      resolver_reload(ls.dial.resolver);
      if (ms.call_state == CALL_CONNECTED) call_hangup(ms, ls, HANGUP_ATZ);
      break;
    default:
      break;
  }
}

const char* peer_text(const modem_state& ms) {
  static char text[DIAL_NAME_MAX + NET_ADDRESS_TEXT_SIZE + 4];
  if (ms.peer_name[0] == '\0') return addr_text(ms.peer_addr);
  if (net_address_empty(ms.peer_addr)) {
    snprintf(text, sizeof text, "%s", ms.peer_name.data());
  } else {
    snprintf(text, sizeof text, "%s (%s)", ms.peer_name.data(), addr_text(ms.peer_addr));
  }
  return text;
}
