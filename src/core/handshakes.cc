#include "core/handshakes.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "config/tls_peers.h"
#include "core/call_control.h"
#include "platform/sockets.h"

namespace {

// A caller whose session has read nothing for this long no longer counts as progressing: a real
// caller's next flight follows the daemon's within a round trip and its own signing.
constexpr int32_t HANDSHAKE_STALL_SEC = 1;
// Once a newcomer found every slot taken, the listening sockets rest this long: connections
// opened as fast as they are ended are then taken at most a hundred a second, and the silent
// ones that a newcomer replaces have each sat in their slot for a while.
constexpr int32_t CROWDED_PAUSE_USEC = 10000;

handshake_progress& progress_of(loop_state& ls, const call_link& slot) {
  return ls.progress[static_cast<size_t>(&slot - ls.handshakes.data())];
}

void refuse(loop_state& ls, call_link& caller, const std::string& reason,
            const clock_reading& now) {
  std::string outcome = "refused: " + reason;
  turn_away(ls, caller, outcome.c_str(), now);
}

// Notes the bytes the caller's session has read since the last step.
void note_progress(loop_state& ls, const call_link& caller, const clock_reading& now) {
  handshake_progress& p = progress_of(ls, caller);
  uint64_t received = tls_bytes_received(caller.tls);
  if (received != p.received) {
    p.received = received;
    p.heard = now.wall;
  }
}

// True when `a` has made less progress than `b`: nothing received beats silence after some
// bytes; then the one heard from longest ago.
bool less_progress(const handshake_progress& a, const handshake_progress& b) {
  if ((a.received == 0) != (b.received == 0)) return a.received == 0;
  return timercmp(&a.heard, &b.heard, <);
}

// The encrypted caller without progress that a newcomer may replace, or nullptr when each is
// progressing. Plain callers are not replaced: their look is short.
call_link* idlest_handshake(loop_state& ls, const clock_reading& now) {
  timeval stalled_before = now.wall;
  stalled_before.tv_sec -= HANDSHAKE_STALL_SEC;
  call_link* idlest = nullptr;
  for (call_link& c : ls.handshakes) {
    if (c.state != LINK_HANDSHAKING || !link_encrypted(c)) continue;
    const handshake_progress& p = progress_of(ls, c);
    if (p.received != 0 && timercmp(&p.heard, &stalled_before, >)) continue;
    if (idlest == nullptr || less_progress(p, progress_of(ls, *idlest))) idlest = &c;
  }
  return idlest;
}

// A slot for a newcomer: a free one, else the place of the caller without progress, who is
// turned away; nullptr when none is free or replaceable. `crowded`: no slot was free.
call_link* slot_for_newcomer(loop_state& ls, bool& crowded, const clock_reading& now) {
  crowded = false;
  for (call_link& slot : ls.handshakes) {
    if (slot.state == LINK_CLOSED) return &slot;
  }
  crowded = true;
  call_link* idlest = idlest_handshake(ls, now);
  if (idlest != nullptr) refuse(ls, *idlest, "no progress, replaced by a newer caller", now);
  return idlest;
}

// Moves `caller` into the free `slot`, with `sec` seconds and `usec` microseconds to go.
call_link& seat(loop_state& ls, call_link& slot, call_link& caller, int32_t sec, int32_t usec,
                const clock_reading& now) {
  countdown_start_at(caller.limit, sec, usec, now.wall);
  caller.state = LINK_HANDSHAKING;
  link_move(slot, caller);
  progress_of(ls, slot) = {.received = 0, .heard = now.wall};
  return slot;
}

// Looks at a plain caller's first bytes without taking them: a TLS ClientHello is refused;
// any other bytes, or none once the look is over, ring.
void plain_step(modem_state& ms, loop_state& ls, call_link& caller, bool look_over,
                const clock_reading& now) {
  unsigned char first[6];
  ssize_t n = peek_bytes(caller.sock.get(), first, sizeof first);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
    refuse(ls, caller, n == 0 ? "peer hung up" : strerror(errno), now);
    return;
  }
  // Three bytes already say it; a hello's first segment carries all of them.
  if (n >= 3 && tls_record_start(first, static_cast<size_t>(n), true)) {
    refuse(ls, caller, "an encrypted caller on the plain port", now);
    return;
  }
  if (n < 0 && !look_over) return;
  countdown_stop(caller.limit);
  ring_caller(ms, ls, caller, now);
}

// Takes `caller` as far as its socket allows.
void handshake_step(modem_state& ms, loop_state& ls, call_link& caller, const clock_reading& now) {
  if (!link_encrypted(caller)) {
    plain_step(ms, ls, caller, false, now);
    return;
  }
  std::string reason;
  tls_step step = tls_handshake(caller.tls, reason);
  note_progress(ls, caller, now);
  switch (step) {
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

void accept_call(modem_state& ms, loop_state& ls, const clock_reading& now) {
  call_link caller;
  if (!accept_allowed(ms, ls, ms.listen_sock.get(), caller, now)) return;
  if (caller.sock.get() >= FD_SETSIZE) {
    turn_away(ls, caller, "rejected", now);
    return;
  }
  look_at_plain_caller(ms, ls, caller, now);
}

void accept_tls_call(modem_state& ms, loop_state& ls, const clock_reading& now) {
  call_link caller;
  if (!accept_allowed(ms, ls, ms.tls_listen_sock.get(), caller, now)) return;
  bool crowded = false;
  call_link* slot = slot_for_newcomer(ls, crowded, now);
  if (crowded) {
    ls.listen_paused = true;
    countdown_start_at(ls.listen_pause, 0, CROWDED_PAUSE_USEC, now.wall);
  }
  if (slot == nullptr) {
    turn_away(ls, caller, "refused: too many handshakes", now);
    return;
  }
  if (caller.sock.get() >= FD_SETSIZE || !link_start_tls(caller, ms.tls, true, nullptr)) {
    turn_away(ls, caller, "rejected", now);
    return;
  }
  // The caller's first flight may be here already.
  handshake_step(ms, ls, seat(ls, *slot, caller, HANDSHAKE_LIMIT_SEC, 0, now), now);
}

void look_at_plain_caller(modem_state& ms, loop_state& ls, call_link& caller,
                          const clock_reading& now) {
  // A caller that the present call turns away anyway needs no look.
  bool crowded = false;
  call_link* slot = line_busy_for(ms, caller.peer) ? nullptr : slot_for_newcomer(ls, crowded, now);
  if (slot == nullptr) {
    ring_caller(ms, ls, caller, now);
    return;
  }
  plain_step(ms, ls, seat(ls, *slot, caller, 0, RING_LOOK_USEC, now), false, now);
}

void handshakes_ready(modem_state& ms, loop_state& ls, const clock_reading& now) {
  for (call_link& caller : ls.handshakes) {
    if (caller.state == LINK_HANDSHAKING && caller.events != 0) handshake_step(ms, ls, caller, now);
  }
}

void check_handshakes(modem_state& ms, loop_state& ls, const clock_reading& now) {
  for (call_link& caller : ls.handshakes) {
    if (caller.state != LINK_HANDSHAKING || countdown_expired(&now.wall, caller.limit) == 0) {
      continue;
    }
    if (link_encrypted(caller)) {
      refuse(ls, caller, "timeout", now);
    } else {
      plain_step(ms, ls, caller, true, now);
    }
  }
}

void handshake_timeout_min(const loop_state& ls, timeval& timeout) {
  for (const call_link& caller : ls.handshakes) {
    if (caller.state == LINK_HANDSHAKING) timeout_min(timeout, caller.limit);
  }
}
