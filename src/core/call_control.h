// Call control: the call state machine and the call protocol between two daemons (connect, the
// answer byte "X", then user data; closing ends the call).
#pragma once

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

constexpr unsigned char ANSWER_BYTE = 'X';

// Why a call ends or fails; each cause fixes the log line, the result code, whether DTR drops
// and which socket closes (the table in call_control.cc).
enum hangup_cause : int {
  HANGUP_CONNECT_FAILED = 0,  // the outgoing connect failed; the reason is the error's text
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
  HANGUP_DIAL_DTR_DROP = 16,     // DTR dropped (&D2) while dialling
  HANGUP_HANDSHAKE_FAILED = 17,  // the outgoing call's TLS handshake failed; the reason is given
};

// Carries out ms.pending_action for the current call state, then clears it.
void run_pending_action(modem_state& ms, loop_state& ls, const clock_reading& now);

// Starts the outgoing call to ms.peer_addr, or to the host name ms.peer_name (core/dialer.h)
// (CALL_IDLE only); BUSY when a call to an address cannot start.
void start_dial(modem_state& ms, loop_state& ls, const clock_reading& now);

// The dial's connection to the far end is up in ms.dial_sock: dial_connected := 1 and "TCP
// connection to %s established"; the answer byte is awaited next (dial_socket_readable).
void dial_established(modem_state& ms, loop_state& ls);

// The dial socket became writable (connect finished) or readable (answer byte or end of stream).
void dial_socket_writable(modem_state& ms, loop_state& ls);
void dial_socket_readable(modem_state& ms, loop_state& ls, const clock_reading& now);

// One byte (or end of stream) from a caller that is being rung.
void ring_socket_readable(modem_state& ms, loop_state& ls);

// Rings the DTE for a caller that may call (allowed, and for an encrypted call, handshake done
// and certificate accepted): CALL_RINGING with `conn` as the ringing socket and `tls` (when not
// nullptr) as the call's session. While another call exists the caller is rejected as busy
// ("rejected"; an encrypted one gets a TLS close first), unless it is the same host calling
// again, which replaces the call.
void ring_caller(modem_state& ms, loop_state& ls, unique_fd& conn, const net_address& addr,
                 tls_session* tls, const clock_reading& now);

// Closes a connection that does not become a call, logging "TCP connection from %s %s" with
// `outcome` at level 5 under the limit of such messages.
void turn_away(loop_state& ls, unique_fd& conn, const net_address& addr, const char* outcome,
               const clock_reading& now);

// Accepts a caller on `listen_fd` and checks it against the allow list: a caller not on it is
// closed at once ("not allowed"), and no free descriptor pauses listening. Returns the
// connection, or an empty descriptor when there is none to go on with.
unique_fd accept_allowed(modem_state& ms, loop_state& ls, int listen_fd, net_address& addr,
                         const clock_reading& now);

// Takes an incoming connection from the listening socket. A caller not on the allow list is
// closed at once ("not allowed"); while another call exists, one is rejected ("rejected").
// Those messages are limited to LOG_LIMIT_MESSAGES per LOG_LIMIT_PERIOD_SEC.
void accept_call(modem_state& ms, loop_state& ls, const clock_reading& now);

// No descriptor was free for an accept (`error`, EMFILE or ENFILE): the listening sockets are
// left alone for 100 ms (logged under the limit of turned-away callers).
void pause_listening(loop_state& ls, int error, const clock_reading& now);

// Time check: the listening socket is watched again once the pause that a failed accept
// started (no descriptor free: EMFILE, ENFILE) is over.
void check_listen_pause(loop_state& ls, const clock_reading& now);

// Logs how many refused or rejected connections went unlogged once their period is over at
// `now`; run at least once a second.
void report_turned_away(loop_state& ls, const clock_reading& now);

// Time checks of one pass: the dial time-out (CALL_DIALING) and ringing/answering
// (CALL_RINGING).
void check_dial_timeout(modem_state& ms, loop_state& ls, const clock_reading& now);
void check_ringing(modem_state& ms, loop_state& ls, const clock_reading& now);

// True when check_ringing answers the ringing call in its next run (ATA, or S0 rings sent).
bool answer_due(const modem_state& ms, const loop_state& ls);

// Sends the answer byte on ring_sock and goes on-line.
void answer_call(modem_state& ms, loop_state& ls, const clock_reading& now);

// Completes a call or resumes data mode: DTR up, the result code (unless RESULT_NONE or quiet),
// keepalive and adoption of `slot` into the call link when given, data-mode countdowns armed from
// `now`.
void go_online(modem_state& ms, loop_state& ls, int result, unique_fd* slot,
               const clock_reading& now);

// Ends or fails a call for `cause`: logs "TCP connection to %s %s: %s" with "failed"/"closed"
// and the cause's reason (strerror(error) for HANGUP_CONNECT_FAILED and HANGUP_PEER_LOST), drops
// DTR when the cause says so, sends its result code (unless quiet), returns to CALL_IDLE in command
// mode and closes the cause's socket. Peer and serial bytes still held for the call are dropped.
void call_hangup(modem_state& ms, loop_state& ls, hangup_cause cause, int error = 0);
// The same with the reason's text given (for the causes whose reason is not fixed).
void call_hangup_because(modem_state& ms, loop_state& ls, hangup_cause cause, const char* reason);
