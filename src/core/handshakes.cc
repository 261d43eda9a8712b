#include "core/handshakes.h"

#include <string>

#include "config/tls_peers.h"
#include "core/call_control.h"
#include "platform/log.h"
#include "platform/sockets.h"

namespace {

void refuse(loop_state& ls, handshake_slot& slot, const std::string& reason,
            const clock_reading& now) {
  tls_end(slot.tls);
  std::string outcome = "refused: " + reason;
  turn_away(ls, slot.sock, slot.addr, outcome.c_str(), now);
  countdown_stop(slot.limit);
}

}  // namespace

void accept_tls_call(modem_state& ms, loop_state& ls, const clock_reading& now) {
  net_address addr;
  unique_fd conn = accept_allowed(ms, ls, ms.tls_listen_sock.get(), addr, now);
  if (!conn.valid()) return;
  handshake_slot* free_slot = nullptr;
  for (handshake_slot& slot : ls.handshakes) {
    if (!slot.sock.valid()) {
      free_slot = &slot;
      break;
    }
  }
  if (free_slot == nullptr) {
    turn_away(ls, conn, addr, "refused: too many handshakes", now);
    return;
  }
  if (conn.get() >= FD_SETSIZE) {
    turn_away(ls, conn, addr, "rejected", now);
    return;
  }
  handshake_slot& slot = *free_slot;
  if (!tls_session_start(slot.tls, ms.tls, conn.get(), true, nullptr)) {
    turn_away(ls, conn, addr, "rejected", now);
    return;
  }
  slot.sock = std::move(conn);
  slot.addr = addr;
  countdown_start_at(slot.limit, HANDSHAKE_LIMIT_SEC, 0, now.wall);
  // The caller's first flight may be here already.
  handshake_ready(ms, ls, static_cast<int>(&slot - ls.handshakes.data()), now);
}

int handshake_wants(const loop_state& ls, int i) {
  const handshake_slot& slot = ls.handshakes[static_cast<size_t>(i)];
  return slot.sock.valid() ? tls_wants(slot.tls) : 0;
}

void handshake_ready(modem_state& ms, loop_state& ls, int i, const clock_reading& now) {
  handshake_slot& slot = ls.handshakes[static_cast<size_t>(i)];
  if (!slot.sock.valid()) return;
  std::string reason;
  switch (tls_handshake(slot.tls, reason)) {
    case TLS_STEP_WANT:
      return;
    case TLS_STEP_FAILED:
      refuse(ls, slot, reason, now);
      return;
    case TLS_STEP_DONE:
      break;
  }
  if (!tls_peers_allow(ms.settings.tls_peers, tls_peer_name(slot.tls))) {
    refuse(ls, slot, "name not allowed (" + tls_peer_name(slot.tls) + ")", now);
    return;
  }
  countdown_stop(slot.limit);
  unique_fd conn = std::move(slot.sock);
  tls_session tls = std::move(slot.tls);
  ring_caller(ms, ls, conn, slot.addr, &tls, now);
}

void check_handshakes(modem_state&, loop_state& ls, const clock_reading& now) {
  for (handshake_slot& slot : ls.handshakes) {
    if (slot.sock.valid() && countdown_expired(&now.wall, slot.limit) != 0) {
      refuse(ls, slot, "timeout", now);
    }
  }
}

void handshake_timeout_min(const loop_state& ls, timeval& timeout) {
  for (const handshake_slot& slot : ls.handshakes) {
    if (slot.sock.valid()) timeout_min(timeout, slot.limit);
  }
}
