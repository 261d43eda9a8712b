// Data mode: the transparent pipe between the serial port and the call's link, with the
// forwarding delay (S11), the escape sequence (S2, S12), the inactivity limit (S10) and the DTR
// watch (&D, S25). Bytes that cannot be written at once are held; peer bytes are not received
// again until they are written out, and serial bytes are read on into a bounded read-ahead
// behind a held send. Bytes that wait together move in one write each way (up to 16 KiB, one
// TLS record). The serial port is read here in command mode too (for the line editor).
#pragma once

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

// The serial port is readable: data mode gathers the bytes (or reads them ahead behind a send),
// command mode hands them to the line editor and runs the action they asked for, a dial in
// progress drops them.
void read_serial(modem_state& ms, loop_state& ls, const clock_reading& now);

// A serial read in data mode brought the `n` bytes at `bytes` (the end of data.out).
void data_mode_input(modem_state& ms, loop_state& ls, const char* bytes, int n,
                     const clock_reading& now);

// The link is readable: receive from the peer as much as the port took at once lately (1 to
// 16 KiB) and write it to the serial port (on-line), or discard it (command mode). End of stream
// hangs up.
void link_readable(modem_state& ms, loop_state& ls, const clock_reading& now);

// The link is writable: sends the held write, then the read-ahead behind it in writes of up to
// 16 KiB, until the peer takes no more.
void link_writable(modem_state& ms, loop_state& ls, const clock_reading& now);

// The connected call's link is ready: link_readable and link_writable as select found it.
void connected_link_ready(modem_state& ms, loop_state& ls, const clock_reading& now);

// Writes held peer bytes to the serial port (called when the port is writable), once no output
// for the DTE waits before them.
void flush_peer_bytes(modem_state& ms, loop_state& ls, const clock_reading& now);

// Time checks: inactivity and escape (on-line), the DTR watch (connected), forwarding.
// check_inactivity returns false when it ended the call.
bool check_inactivity(modem_state& ms, loop_state& ls, const clock_reading& now);
void check_escape(modem_state& ms, loop_state& ls, const clock_reading& now);
// Returns false when the forwarding step of this pass must be skipped (&D1 drop).
bool check_dtr(modem_state& ms, loop_state& ls, const clock_reading& now);
// The dead-peer watch of a connected call with keepalive (whose probes end an idle connection
// by themselves): while bytes wait for the peer (a held send, or bytes not acknowledged in the
// socket, sent or not), the connection's progress is read once a second and when the bytes have
// waited the keepalive's span. The call ends (HANGUP_PEER_LOST, ETIMEDOUT) when they have, the
// peer has acknowledged nothing for the span and it is silent: a segment with data sent after
// its last acknowledgement unanswered for a probe interval, or two window probes in a row
// unanswered. A peer that answers its probes (with data or without) but takes nothing keeps its
// call.
void check_peer_progress(modem_state& ms, loop_state& ls, const clock_reading& now);

// The watch of a link whose output stays full (a peer that makes the session answer and reads
// nothing; no more is read from it meanwhile): the call ends (HANGUP_PEER_LOST, ETIMEDOUT) once
// it has been full for the keepalive's span, or without keepalive for S10's; with neither it
// waits as long as it lasts.
void check_held_output(modem_state& ms, loop_state& ls, const clock_reading& now);

// Starts sending the gathered bytes: whole chunks at once, a partial one once the forwarding
// delay has run out, up to 16 KiB in one write. What the link does not take at once is held
// until it is writable, and tried again 10 ms later, then after twice as long each time the link
// takes nothing, up to a second (select reports a socket writable only when a third of its
// buffer is free). Command mode drops what is held.
void forward_serial_bytes(modem_state& ms, loop_state& ls, const clock_reading& now);
