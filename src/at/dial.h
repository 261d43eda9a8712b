// The dial command: a number of twelve digits stands for an IPv4 address; one matching a dial
// substitution for the rule's target (twelve digits, a dotted IPv4 or an IPv6 address or a host
// name, each with a port or without, "TLS:" before any of them for an encrypted call, "RAW:" or
// "TELNET:" for a peer that is not a daemon: config/dial_target.h). With MOD_ORVANE_COMPAT=1 a
// text that is not a phone number is dialled as a target when it parses as one. The handler
// fixes the port (the target's, else the default of its kind), stores the address in peer_addr
// or the name in peer_name, the port in peer_port, sets peer_tls and peer_kind and requests
// ACTION_DIAL. An encrypted target needs the TLS settings; with MOD_ORVANE_TLS_ONLY=1 every
// other target is refused.
#pragma once

struct modem_settings;
struct modem_state;
struct substitution;

// Why ATD refuses the dial rule `rule` under the settings `s`, or nullptr: the target's own
// refusal (a group of three digits above 255, the address 0.0.0.0 or ::), else an encrypted
// target without MOD_ORVANE_TLS_CERT or a plain one under MOD_ORVANE_TLS_ONLY=1.
const char* dial_rule_refusal(const substitution& rule, const modem_settings& s);

int cmd_dial(modem_state& ms, char* text, bool check_only);
