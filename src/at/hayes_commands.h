// The commands of Hayes modems that the daemon accepts besides its own when MOD_ORVANE_COMPAT is
// 1: those with nothing to change here, &C (the carrier line), &F (the factory profile), \Q
// (flow control), and behind "+" and "#" the extended commands of at/extended_commands.h.
// Without the key the command set, and the carrier line, are as they always were.
#pragma once

#include "at/interpreter.h"

struct modem_state;

// True when the extra commands are accepted (MOD_ORVANE_COMPAT is exactly 1).
bool compat_enabled(const modem_state& ms);

// The extra command at the start of `text`; nullptr when none is, or when they are off.
const at_command* find_compat_command(const modem_state& ms, const char* text);

// True when the carrier line towards the DTE (the modem's DTR) follows the call: &C1, and
// always without the extra commands. With &C0 it stays on while the daemon runs, and neither a
// hang-up nor start-up drops it.
bool carrier_follows_call(const modem_state& ms);

// Sets the carrier line as &C and the call say: on with &C0 or during a connected call, else
// off. Called where &C, AT&F or ATZ change what carrier_follows_call says.
void apply_carrier_line(modem_state& ms);

// Sets the flow control (0 none, 3 RTS/CTS, 4 XON/XOFF) and applies it to the port, as &K does.
void set_flow_control(modem_state& ms, uint32_t flow);
