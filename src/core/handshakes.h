// Callers before they ring, in HANDSHAKES_MAX slots. An encrypted caller from the TLS listening
// socket runs its handshake here (ended after HANDSHAKE_LIMIT_SEC); only one whose handshake
// completes with an accepted certificate rings the DTE. A plain caller waits here a moment for
// its first bytes, so that an encrypted caller on the plain port is told apart before any RING.
// Every caller turned away goes without a word to the DTE, S1 or a call in progress ("TCP
// connection from %s refused: <reason>", limited like every such message).
//
// When every slot is taken, a newcomer takes the place of the encrypted caller that has made no
// progress (nothing received, the oldest first; else nothing received for HANDSHAKE_STALL_SEC,
// the longest silent first), never of one that is progressing: a real caller sends its hello at
// once and completes, however many silent connections crowd in behind it.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

// How long a plain caller's first bytes are awaited before it rings: an encrypted caller sends
// its ClientHello as its connect completes, right behind the segment that completes the
// accept; the wait leaves room for a slow router to make its key share. A plain caller sends
// nothing before the answer, so its first RING comes this much later than its connection.
constexpr int32_t RING_LOOK_USEC = 50000;

// Takes an incoming connection from the listening socket. A caller not on the allow list is
// closed at once ("not allowed"); while another call exists, one is rejected ("rejected").
// Those messages are limited to LOG_LIMIT_MESSAGES per LOG_LIMIT_PERIOD_SEC. Any other caller
// rings once its first bytes have shown it is not an encrypted one (look_at_plain_caller).
void accept_call(modem_state& ms, loop_state& ls, const clock_reading& now);

// Takes a connection from the TLS listening socket: checks the allow list, then starts its
// handshake in a free slot, or in the place of one without progress ("refused: no progress,
// replaced by a newer caller"); with none such it is refused ("refused: too many handshakes").
// Either way, once the slots were full, the listening sockets rest for a moment, so that
// connections that come as fast as they are ended cost little.
void accept_tls_call(modem_state& ms, loop_state& ls, const clock_reading& now);

// Takes an allowed plain caller: it rings (ring_caller) once its first bytes have come, or after
// RING_LOOK_USEC when none come; one that the present call turns away goes there at once. A TLS
// ClientHello as its first bytes is refused ("refused: an encrypted caller on the plain port"), a
// caller gone before is refused ("refused: peer hung up"). With no slot to wait in it rings at
// once.
void look_at_plain_caller(modem_state& ms, loop_state& ls, call_link& caller,
                          const clock_reading& now);

// Takes each caller whose socket select found ready a step. A completed handshake whose
// certificate is accepted (and whose name is on MOD_ORVANE_TLS_PEERS when that is set) goes to
// ring_caller, as does a plain caller whose first bytes are not a TLS ClientHello.
void handshakes_ready(modem_state& ms, loop_state& ls, const clock_reading& now);

// Time check: ends the handshakes that have run HANDSHAKE_LIMIT_SEC ("refused: timeout") and
// rings the plain callers whose look is over.
void check_handshakes(modem_state& ms, loop_state& ls, const clock_reading& now);

// Lowers `timeout` to the nearest handshake limit or end of a look.
void handshake_timeout_min(const loop_state& ls, timeval& timeout);
