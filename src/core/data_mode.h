// Data mode: the transparent pipe between the serial port and the call's connection, with the
// forwarding delay (S11), the escape sequence (S2, S12), the inactivity limit (S10) and the DTR
// watch (&D, S25). Bytes that cannot be written at once are held; peer bytes are not received
// again until they are written out, and serial bytes are read on into a bounded read-ahead.
#pragma once

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

// A serial read in data mode brought the `n` bytes at `bytes` (the end of serial_buf, or of
// ahead_buf while a chunk is being sent).
void data_mode_input(modem_state& ms, loop_state& ls, const char* bytes, int n,
                     const clock_reading& now);

// data_sock is readable: receive from the peer and write to the serial port (on-line), or
// discard (command mode). End of stream hangs up.
void data_socket_readable(modem_state& ms, loop_state& ls, const clock_reading& now);

// Writes held peer bytes to the serial port (called when the port is writable).
void flush_peer_bytes(modem_state& ms, loop_state& ls, const clock_reading& now);

// Time checks: inactivity and escape (on-line), the DTR watch (connected), forwarding.
// check_inactivity returns false when it ended the call.
bool check_inactivity(modem_state& ms, loop_state& ls, const clock_reading& now);
void check_escape(modem_state& ms, loop_state& ls, const clock_reading& now);
// Returns false when the forwarding step of this pass must be skipped (&D1 drop).
bool check_dtr(modem_state& ms, loop_state& ls, const clock_reading& now);
void forward_serial_bytes(modem_state& ms, loop_state& ls, const clock_reading& now);
