// The daemon's single select() loop: one pass waits for the serial port and the sockets,
// handles the ready ones in a fixed order, then runs the time checks and the status request.
#pragma once

#include "core/loop_state.h"
#include "modem/modem_state.h"

// Runs one pass. Returns false, without doing anything, when a termination signal has been
// recorded.
bool event_loop_pass(modem_state& ms, loop_state& ls);

// Runs passes until a termination signal has been recorded.
void run_event_loop(modem_state& ms, loop_state& ls);
