// The dial command: a number of twelve digits, or one matching a dial substitution, stands for
// an IPv4 address; the handler stores it in peer_addr and requests ACTION_DIAL.
#pragma once

#include <string_view>

struct modem_state;

// Why ATD refuses to dial the twelve digits at the start of `digits` (a number typed or a dial
// rule's replacement), or nullptr when it dials them: fewer than twelve digits, a group of three
// above 255, or the address 0.0.0.0.
const char* dial_digits_refusal(std::string_view digits);

int cmd_dial(modem_state& ms, char* text, bool check_only);
