// The dial command: a number of twelve digits stands for an IPv4 address; one matching a dial
// substitution for the rule's target (twelve digits, an IPv6 address or a host name, each with a
// port or without, "TLS:" before any of them for an encrypted call); the handler stores the
// address in peer_addr, or the name and its port in peer_name and peer_name_port, sets peer_tls
// and requests ACTION_DIAL. An encrypted target needs the TLS settings; with
// MOD_ORVANE_TLS_ONLY=1 every other target is refused.
#pragma once

#include <string_view>

struct modem_settings;
struct modem_state;

// Why ATD refuses to dial `digits` (a number typed or a dial rule's replacement), or nullptr when
// it dials it: fewer than twelve digits, a group of three above 255, the address 0.0.0.0 or ::.
const char* dial_digits_refusal(std::string_view digits);

// Why ATD refuses a dial rule's target `replacement` under the settings `s`, or nullptr: what
// dial_digits_refusal says, else an encrypted target without MOD_ORVANE_TLS_CERT or a plain one
// under MOD_ORVANE_TLS_ONLY=1.
const char* dial_rule_refusal(std::string_view replacement, const modem_settings& s);

int cmd_dial(modem_state& ms, char* text, bool check_only);
