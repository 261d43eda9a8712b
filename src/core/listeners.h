// The listening ports of callers that are not daemons: MOD_ORVANE_RAW_PORT and
// MOD_ORVANE_TELNET_PORT, both families, opened once at start-up on the address the settings
// give (ATZ does not reopen them). A
// caller on one is taken as one on the daemon's port is (allow list, busy and replace rules,
// RING), and keeps the port's kind for its call: no answer byte, and on the telnet port the
// telnet protocol.
#pragma once

#include <sys/select.h>

#include "core/loop_state.h"
#include "modem/modem_state.h"
#include "platform/countdown.h"

// Adds the open ports to `read` (unless listening is paused); returns the highest descriptor
// added, or -1.
int watch_peer_listeners(const modem_state& ms, const loop_state& ls, fd_set& read);

// Takes a caller from each port that select found readable.
void peer_listeners_ready(modem_state& ms, loop_state& ls, const fd_set& read,
                          const clock_reading& now);
