// Call control: the call state machine and the call protocol between two daemons (connect, the
// answer byte "X", then user data; closing ends the call).
#pragma once

#include "core/modem_state.h"

// Carries out ms.pending_action for the current call state, then clears it.
void run_pending_action(modem_state& ms, loop_state& ls);

// Starts the outgoing call to ms.peer_addr (CALL_IDLE only); BUSY when it cannot start.
void start_dial(modem_state& ms, loop_state& ls);

// The dial socket became writable (connect finished) or readable (answer byte or end of stream).
void dial_socket_writable(modem_state& ms, loop_state& ls);
void dial_socket_readable(modem_state& ms, loop_state& ls);

// One byte (or end of stream) from a caller that is being rung.
void ring_socket_readable(modem_state& ms, loop_state& ls);

// Takes an incoming connection from the listening socket. A caller not on the allow list is
// closed at once ("not allowed"); while another call exists, one is rejected ("rejected").
// Those messages are limited to LOG_LIMIT_MESSAGES per LOG_LIMIT_PERIOD_SEC.
void accept_call(modem_state& ms, loop_state& ls);

// Logs how many refused or rejected connections went unlogged once their period is over at
// monotonic second `now`; run at least once a second.
void report_turned_away(loop_state& ls, int now);

// Time checks of one pass: the dial time-out (CALL_DIALING) and ringing/answering
// (CALL_RINGING).
void check_dial_timeout(modem_state& ms, loop_state& ls, const timeval& now);
void check_ringing(modem_state& ms, loop_state& ls);

// Sends the answer byte on ring_sock and goes on-line.
void answer_call(modem_state& ms, loop_state& ls);

// Completes a call or resumes data mode: DTR up, the result code (unless RESULT_NONE or quiet),
// keepalive and adoption of `slot` into data_sock when given, data-mode countdowns armed.
void go_online(modem_state& ms, loop_state& ls, int result, unique_fd* slot);

// Ends or fails a call: logs "TCP connection to %s %s: %s" with "failed"/"closed" and the reason
// (or strerror(error) when reason is nullptr), drops DTR when asked, sends `result` (unless
// RESULT_NONE or quiet), returns to CALL_IDLE in command mode and closes `slot`. Peer and serial
// bytes still held for the call are dropped.
void call_hangup(modem_state& ms, loop_state& ls, bool failed, const char* reason, int error,
                 int result, bool drop_dtr, unique_fd& slot);

// send_result unless `code` is RESULT_NONE or the modem is quiet.
void send_code(modem_state& ms, int code);
