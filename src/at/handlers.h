// Handlers of the mode commands A, E, H, O, Q, V, Z, &D and &W (at_handler contract).
#pragma once

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
