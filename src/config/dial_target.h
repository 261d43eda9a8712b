// Where a dial sends a call: the text after the ":" of a D line of the substitution script
// (upper-cased, without blanks), or a number of twelve digits typed at the DTE. Twelve digits
// stand for an IPv4 address, three digits a byte; besides them a rule may name another port, an
// IPv6 address or a host name:
//   192168001001        192168001001:2000
//   [2001:DB8::1]       [2001:DB8::1]:2000
//   ROUTER7.EXAMPLE.NET ROUTER7.EXAMPLE.NET:2000
// Twelve digits followed by anything but ":" and a port stand for the address alone: the rest
// is ignored. Four numbers between dots are an IPv4 address too (192.168.1.1:2000). "TLS:"
// before any of these makes the call encrypted:
//   TLS:192168001001    TLS:[2001:DB8::1]:2001  TLS:ROUTER7.EXAMPLE.NET
// and "RAW:" or "TELNET:" (after "TLS:" when both are given) calls a peer that is not a daemon
// of this kind: no answer byte, and for TELNET: the telnet protocol:
//   RAW:10.0.0.7:4001   TELNET:BBS.EXAMPLE.ORG  TLS:RAW:[2001:DB8::7]:992
// A rule's target is parsed once, when the script is loaded.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/settings.h"
#include "platform/net_address.h"

enum dial_target_kind : int { TARGET_ADDRESS = 1, TARGET_NAME = 2 };

// What the far end of a call is: a daemon of this kind (the answer byte), a TCP server or client
// that carries the bytes as they are (raw), or one that speaks telnet.
enum peer_kind : int { PEER_DAEMON = 0, PEER_RAW = 1, PEER_TELNET = 2 };

// "daemon", "raw" or "telnet": the kind as the log and the status file name it.
const char* peer_kind_name(peer_kind kind);

// The port a TELNET: target without one is dialled at.
constexpr uint16_t TELNET_PORT_DEFAULT = 23;

struct dial_target {
  dial_target_kind kind = TARGET_ADDRESS;
  net_address address;           // ADDRESS: the address (port 0)
  std::string name;              // NAME: the host name
  uint16_t port = 0;             // 0: none given, the configured port is used
  bool tls = false;              // "TLS:" came first: the call is encrypted
  peer_kind peer = PEER_DAEMON;  // "RAW:" or "TELNET:" came before the address or name
  // Why a dial refuses this target although it parses ("a group of three digits is above 255",
  // "it stands for 0.0.0.0", "it stands for ::"); nullptr when it can be dialled.
  const char* refusal = nullptr;
};

// What a target begins with when the call is to be encrypted.
constexpr std::string_view DIAL_TLS_PREFIX = "TLS:";

// The longest host name a target may give.
constexpr size_t DIAL_NAME_MAX = 253;

enum dial_target_parsed : int {
  TARGET_PARSED = 0,
  TARGET_NO_FORM = -1,    // none of the forms (neither twelve digits, "[", dots nor a letter)
  TARGET_MALFORMED = -2,  // a form with a fault, said in `problem`
  // A prefix that is not known or not in its place ("SSH:", "RAW:TELNET:"), said in `problem`.
  TARGET_BAD_PREFIX = -3,
};

// Parses `text` into `target`. On TARGET_MALFORMED `problem` says what is wrong, e.g. "port
// 70000 is not 1 to 65535".
dial_target_parsed dial_target_parse(std::string_view text, dial_target& target,
                                     std::string& problem);

// Why a dial refuses the target `text`, or nullptr when it dials it: the target's own refusal,
// "fewer than twelve digits" for a text of no form, "it is not a dial target" for a faulty one.
const char* dial_text_refusal(std::string_view text);

// The port a target without one is dialled at: for an encrypted call MOD_ORVANE_TLS_PORT when
// it is set, else (and for a plain call) MOD_ORVANE_PORT. Only the low 16 bits are used.
uint16_t dial_default_port(const modem_settings& s, bool tls);

// The port `t` is dialled at: its own, TELNET_PORT_DEFAULT for a TELNET: target without one,
// else dial_default_port.
uint16_t dial_target_port(const dial_target& t, const modem_settings& s);
