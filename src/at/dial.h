// The dial command: a number of twelve digits, or one matching a dial substitution, stands for
// an IPv4 address; the handler stores it in peer_addr and requests ACTION_DIAL.
#pragma once

struct modem_state;

int cmd_dial(modem_state& ms, char* text, bool check_only);
