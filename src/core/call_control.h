// Call control: the call state machine and the call protocol between two daemons (connect, the
// answer byte "X", then user data; closing ends the call). A call to or from a peer that is not
// a daemon (raw, telnet) has no answer byte: it starts once connected, or once answered. It
// starts dials and acts on what the dialer reports, rings the DTE for callers, answers, goes
// on-line and hangs up.
#pragma once

#include <sys/select.h>

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

constexpr unsigned char ANSWER_BYTE = 'X';

// Why a call ends or fails; each cause fixes the log line, the result code and whether DTR drops
// (the table in call_control.cc).
enum hangup_cause : int {
  HANGUP_CONNECT_FAILED = 0,  // every connect of the dial failed; the reason is the error's text
  HANGUP_DIAL_TIMEOUT = 1,    // S7 ran out while dialling
  HANGUP_CALLEE_BUSY = 2,     // the callee closed before answering
  HANGUP_RING_RECV_ERROR = 3,
  HANGUP_CALLER_GONE = 4,        // the caller closed while ringing
  HANGUP_RING_RECONNECT = 5,     // the ringing caller dialled again
  HANGUP_ANSWER_SEND_ERROR = 6,  // the answer byte could not be sent
  HANGUP_RECONNECT = 7,          // the connected peer dialled again
  HANGUP_ATH = 8,
  HANGUP_ATZ = 9,
  HANGUP_PEER_SHUTDOWN = 10,
  HANGUP_INACTIVITY = 11,
  HANGUP_DTR_DROP = 12,
  HANGUP_TERMINATION = 13,       // the daemon is shutting down
  HANGUP_PEER_LOST = 14,         // the connection timed out (keepalive or user timeout); the reason
                                 // is the error's text
  HANGUP_NAME_FAILED = 15,       // the dialled host name gave no address to connect to
  HANGUP_DIAL_DTR_DROP = 16,     // DTR dropped (&D2) while a host name was dialled
  HANGUP_HANDSHAKE_FAILED = 17,  // the outgoing call's TLS handshake failed; the reason is given
  HANGUP_NO_SOCKET = 18,         // a dial to a name found no socket to connect with; the error's
                                 // text
};

// Carries out ms.pending_action for the current call state, then clears it.
void run_pending_action(modem_state& ms, loop_state& ls, const clock_reading& now);

// Starts the outgoing call to ms.peer_addr, or to the host name ms.peer_name (CALL_IDLE only).
// A dial to an address that cannot start answers BUSY (no socket) or NO ANSWER (a sandbox's
// address not on this machine) and leaves the modem idle.
void start_dial(modem_state& ms, loop_state& ls, const clock_reading& now);

// The dial's step of a pass (CALL_DIALING): hands the lookup the sockets select found ready,
// takes the attempts' outcomes and acts on the dialer's report (the connection established, or
// the dial failed with the result code of its failure).
void dial_ready(modem_state& ms, loop_state& ls, const fd_set* read_set, const fd_set* write_set,
                const clock_reading& now);

// The call's link is ready while the dial's connection is up: the TLS handshake (LINK_HANDSHAKING),
// after which a call to a peer that is not a daemon goes on-line, or a daemon's answer byte
// (LINK_AWAITING_ANSWER).
void dial_link_ready(modem_state& ms, loop_state& ls, const clock_reading& now);

// The call's link is ready while it rings: what the caller sends is thrown away; its end of
// stream ends the call.
void ringing_link_ready(modem_state& ms, loop_state& ls, const clock_reading& now);

// Rings the DTE for `caller` (allowed, and for an encrypted call, handshake done and
// certificate accepted): CALL_RINGING with `caller` moved into the call's link (a telnet caller's
// with the telnet layer on). While another
// call exists the caller is rejected as busy ("rejected"; an encrypted one gets a TLS close
// first), unless it is the same host calling again, which replaces the call if it could have
// made that call itself: a plain caller never replaces an encrypted call ("refused: a plain
// caller cannot replace an encrypted call"), an encrypted caller only one whose certificate
// names the same peer ("refused: certificate NAME cannot replace the call with NAME").
void ring_caller(modem_state& ms, loop_state& ls, call_link& caller, const clock_reading& now);

// True when a caller from `caller` is rejected as busy whatever it sends: a dial is under way,
// or another host's call rings or is connected.
bool line_busy_for(const modem_state& ms, const net_address& caller);

// Closes a link that does not become a call, logging "TCP connection from %s %s" with
// `outcome` (and the kind of a caller that is not a daemon: " (raw)") at level 5 under the limit
// of such messages.
void turn_away(loop_state& ls, call_link& caller, const char* outcome, const clock_reading& now);

// Accepts a caller of `kind` on `listen_fd` into `caller` and checks it against the allow list:
// a caller not on it is turned away at once ("not allowed"), and no free descriptor pauses
// listening. Returns true when there is a caller to go on with.
bool accept_allowed(modem_state& ms, loop_state& ls, int listen_fd, call_link& caller,
                    const clock_reading& now, peer_kind kind = PEER_DAEMON);

// No descriptor was free for an accept (`error`, EMFILE or ENFILE): the listening sockets are
// left alone for 100 ms (logged under the limit of turned-away callers).
void pause_listening(loop_state& ls, int error, const clock_reading& now);

// Time check: the listening socket is watched again once the pause that a failed accept
// started (no descriptor free: EMFILE, ENFILE) is over.
void check_listen_pause(loop_state& ls, const clock_reading& now);

// Logs how many refused or rejected connections went unlogged once their period is over at
// `now`; run at least once a second.
void report_turned_away(loop_state& ls, const clock_reading& now);

// Time checks of one pass: the dial time-out and, for a dial to a name with &D2, a DTR drop
// (CALL_DIALING), and ringing/answering (CALL_RINGING).
void check_dial_timeout(modem_state& ms, loop_state& ls, const clock_reading& now);
void check_dial_dtr(modem_state& ms, loop_state& ls, const clock_reading& now);
void check_ringing(modem_state& ms, loop_state& ls, const clock_reading& now);

// True while a DTR drop can end the dial under way: a dial to a host name with &D2.
bool dial_watches_dtr(const modem_state& ms);

// True when check_ringing answers the ringing call in its next run (ATA, or S0 rings sent).
bool answer_due(const modem_state& ms, const loop_state& ls);

// Sends the answer byte on the call's link (to a daemon only) and goes on-line.
void answer_call(modem_state& ms, loop_state& ls, const clock_reading& now);

// Completes a call or resumes data mode: DTR up, the result code (unless RESULT_NONE or quiet),
// and for a call just completed (`new_call`) keepalive and the call's link connected; data-mode
// countdowns armed from `now`.
void go_online(modem_state& ms, loop_state& ls, int result, bool new_call,
               const clock_reading& now);

// Ends or fails a call for `cause`: logs "TCP connection to %s %s: %s" with "failed"/"closed"
// and the cause's reason (strerror(error) for the causes whose reason is the error's), drops
// DTR when the cause says so, sends its result code (unless quiet), returns to CALL_IDLE in command
// mode, ends the dial and closes the call's link. Bytes still held for the call are dropped.
void call_hangup(modem_state& ms, loop_state& ls, hangup_cause cause, int error = 0);
// The same with the reason's text given (for the causes whose reason is not fixed).
void call_hangup_because(modem_state& ms, loop_state& ls, hangup_cause cause, const char* reason);

// The far end for the log: the address; for a dial to a name, the name, followed by the address
// in parentheses once one has connected. A static buffer that the next call overwrites.
const char* peer_text(const modem_state& ms);
