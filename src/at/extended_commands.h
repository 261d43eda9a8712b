// The extended commands of V.250 and of cellular modems (GSM 07.07) that the daemon answers when
// MOD_ORVANE_COMPAT is 1, as a registered, ready cellular modem would. One is "+NAME" or
// "#NAME" followed by "=?" (test: the values it takes), "?" (read: its value), "=values" (set)
// or nothing (action), and by ";" when another command follows on the line. A name or form
// that is not in the table makes the line invalid (ERROR), as an unknown command does.
#pragma once

struct modem_state;

// Handlers of "+" and "#" (at_handler contract): `text` is what follows the "+" or "#".
int cmd_plus(modem_state& ms, char* text, bool check_only);
int cmd_hash(modem_state& ms, char* text, bool check_only);
