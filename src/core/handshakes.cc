#include "core/handshakes.h"

#include <string>

#include "config/tls_peers.h"
#include "core/call_control.h"

namespace {

void refuse(loop_state& ls, call_link& caller, const std::string& reason,
            const clock_reading& now) {
  std::string outcome = "refused: " + reason;
  turn_away(ls, caller, outcome.c_str(), now);
}

// Takes the handshake of `caller` as far as its socket allows.
void handshake_step(modem_state& ms, loop_state& ls, call_link& caller, const clock_reading& now) {
  std::string reason;
  switch (tls_handshake(caller.tls, reason)) {
    case TLS_STEP_WANT:
      return;
    case TLS_STEP_FAILED:
      refuse(ls, caller, reason, now);
      return;
    case TLS_STEP_DONE:
      break;
  }
  if (!tls_peers_allow(ms.tls_peers, tls_peer_name(caller.tls))) {
    refuse(ls, caller, "name not allowed (" + tls_peer_name(caller.tls) + ")", now);
    return;
  }
  countdown_stop(caller.limit);
  ring_caller(ms, ls, caller, now);
}

}  // namespace

void accept_tls_call(modem_state& ms, loop_state& ls, const clock_reading& now) {
  call_link caller;
  if (!accept_allowed(ms, ls, ms.tls_listen_sock.get(), caller, now)) return;
  call_link* slot = nullptr;
  for (call_link& candidate : ls.handshakes) {
    if (candidate.state == LINK_CLOSED) {
      slot = &candidate;
      break;
    }
  }
  if (slot == nullptr) {
    turn_away(ls, caller, "refused: too many handshakes", now);
    return;
  }
  if (caller.sock.get() >= FD_SETSIZE || !link_start_tls(caller, ms.tls, true, nullptr)) {
    turn_away(ls, caller, "rejected", now);
    return;
  }
  countdown_start_at(caller.limit, HANDSHAKE_LIMIT_SEC, 0, now.wall);
  link_move(*slot, caller);
  // The caller's first flight may be here already.
  handshake_step(ms, ls, *slot, now);
}

void handshakes_ready(modem_state& ms, loop_state& ls, const clock_reading& now) {
  for (call_link& caller : ls.handshakes) {
    if (caller.state == LINK_HANDSHAKING && caller.events != 0) handshake_step(ms, ls, caller, now);
  }
}

void check_handshakes(modem_state&, loop_state& ls, const clock_reading& now) {
  for (call_link& caller : ls.handshakes) {
    if (caller.state == LINK_HANDSHAKING && countdown_expired(&now.wall, caller.limit) != 0) {
      refuse(ls, caller, "timeout", now);
    }
  }
}

void handshake_timeout_min(const loop_state& ls, timeval& timeout) {
  for (const call_link& caller : ls.handshakes) {
    if (caller.state == LINK_HANDSHAKING) timeout_min(timeout, caller.limit);
  }
}
