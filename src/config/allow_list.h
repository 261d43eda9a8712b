// The callers' allow list (MOD_ORVANE_ALLOW): IPv4 addresses and prefixes an incoming call may
// come from. An empty list lets every caller in.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One address or prefix, in host byte order; `addr` holds no bits outside `mask`.
struct allow_entry {
  uint32_t addr = 0;
  uint32_t mask = 0;
};

struct allow_list {
  std::vector<allow_entry> entries;  // empty: every caller is allowed
};

// Parses `text`: entries "a.b.c.d" or "a.b.c.d/n" (each byte 0 to 255 in up to three decimal
// digits, n from 0 to 32), separated by any run of blanks and commas. Host bits of a prefix
// are ignored ("10.1.2.3/8" is 10.0.0.0/8). Returns true and replaces `list` when every entry
// is valid; otherwise returns false with the first invalid entry in `bad_entry` and leaves
// `list` as it was.
bool allow_list_parse(std::string_view text, allow_list& list, std::string& bad_entry);

// True when `addr` (network byte order) may call: the list is empty or an entry covers it.
bool allow_list_permits(const allow_list& list, uint32_t addr);
