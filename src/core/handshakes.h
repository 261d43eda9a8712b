// Encrypted callers before they ring: the TLS listening socket and the handshakes running in
// the loop's passes (HANDSHAKES_MAX at once, each ended after HANDSHAKE_LIMIT_SEC). Only a caller
// whose handshake completes with an accepted certificate rings the DTE; every other one is turned
// away without a word to the DTE, S1 or a call in progress ("TCP connection from %s refused:
// <reason>", limited like every such message).
#pragma once

#include <sys/time.h>

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

// Takes a connection from the TLS listening socket: checks the allow list, then starts its
// handshake in a free slot (none free: "refused: too many handshakes").
void accept_tls_call(modem_state& ms, loop_state& ls, const clock_reading& now);

// Takes each handshake whose socket select found ready a step. A completed one whose certificate
// is accepted (and whose name is on MOD_ORVANE_TLS_PEERS when that is set) goes to ring_caller.
void handshakes_ready(modem_state& ms, loop_state& ls, const clock_reading& now);

// Time check: ends the handshakes that have run HANDSHAKE_LIMIT_SEC ("refused: timeout").
void check_handshakes(modem_state& ms, loop_state& ls, const clock_reading& now);

// Lowers `timeout` to the nearest handshake limit.
void handshake_timeout_min(const loop_state& ls, timeval& timeout);
