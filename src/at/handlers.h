// Handlers of the mode commands A, E, H, O, Q, V, Z, &D, &K and &W (at_handler contract).
#pragma once

#include <cstdint>

struct modem_state;

int cmd_answer(modem_state& ms, char* text, bool check_only);
int cmd_echo(modem_state& ms, char* text, bool check_only);
int cmd_hangup(modem_state& ms, char* text, bool check_only);
int cmd_online(modem_state& ms, char* text, bool check_only);
int cmd_quiet(modem_state& ms, char* text, bool check_only);
int cmd_verbose(modem_state& ms, char* text, bool check_only);
int cmd_reset(modem_state& ms, char* text, bool check_only);
int cmd_dtr_action(modem_state& ms, char* text, bool check_only);
int cmd_store(modem_state& ms, char* text, bool check_only);
// &K: 0 no flow control, 3 RTS/CTS, 4 XON/XOFF, applied to the open port at once.
int cmd_flow_control(modem_state& ms, char* text, bool check_only);

// Applies settings.flowcontrol to the open serial port; a refusal of the port is logged. When
// the value is not one of 0, 3 and 4 (a file reloaded by ATZ), it is logged, `previous` is
// restored and the port is left as it was.
void apply_flow_control(modem_state& ms, uint32_t previous);
