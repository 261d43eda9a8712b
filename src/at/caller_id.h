// Caller ID towards the DTE when MOD_ORVANE_COMPAT is 1: after the first RING of a call the
// block of voice modems (+VCID=1 or #CID=1: DATE, TIME, NMBR and, for an encrypted caller,
// NAME), after every RING the line of cellular modems (+CLIP=1: +CLIP: "NMBR",129).
#pragma once

#include <sys/time.h>

#include <string>
#include <string_view>

#include "platform/net_address.h"

struct modem_state;

// The number the DTE is shown for a caller at `caller`: the pattern of the first dial rule whose
// target is that address (the number the DTE would dial to reach it), else the twelve digits of
// an IPv4 address, else the address's text.
std::string caller_number(const modem_state& ms, const net_address& caller);

// Sends the caller ID lines due after a RING just sent (ms.ring_count counts it) for a call from
// `caller` whose certificate names `cert_name` (empty: a plain call); `wall` is the pass's wall
// clock, read in the local time zone. Nothing while quiet (Q1) or with the commands off.
void caller_id_after_ring(modem_state& ms, const net_address& caller, std::string_view cert_name,
                          const timeval& wall);
