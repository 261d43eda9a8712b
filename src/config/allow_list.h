// The callers' allow list (MOD_ORVANE_ALLOW): IPv4 and IPv6 addresses and prefixes an incoming
// call may come from. An empty list lets every caller in.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/net_address.h"

// One address or prefix; `addr` holds no bits beyond the first `bits` (its port is 0).
struct allow_entry {
  net_address addr;
  int bits = 0;
};

struct allow_list {
  std::vector<allow_entry> entries;  // empty: every caller is allowed
};

// Parses `text`: entries "a.b.c.d" or "a.b.c.d/n" (each byte 0 to 255 in up to three decimal
// digits, n from 0 to 32) and IPv6 addresses "x:x::x" or "x:x::x/n" (n from 0 to 128),
// separated by any run of blanks and commas. Host bits of a prefix are ignored ("10.1.2.3/8"
// is 10.0.0.0/8). An IPv4-mapped IPv6 entry (::ffff:a.b.c.d, with a prefix of 96 or more) is
// the IPv4 entry it carries. Returns true and replaces `list` when every entry is valid;
// otherwise returns false with the first invalid entry in `bad_entry` and leaves `list` as it
// was.
bool allow_list_parse(std::string_view text, allow_list& list, std::string& bad_entry);

// The family an entry was meant to be, for the message "\"%s\" is not an %s address or
// prefix": "IPv6" when it has a ':', "IPv4" otherwise.
const char* allow_entry_family(std::string_view entry);

// True when `addr` may call: the list is empty or an entry of its family covers it.
bool allow_list_permits(const allow_list& list, const net_address& addr);
