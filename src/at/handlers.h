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

// Applies settings.flowcontrol (0, 3 or 4) to the open serial port; a refusal of the port is
// logged.
void apply_flow_control(modem_state& ms);
