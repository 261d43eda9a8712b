// The hosts file (hosts(5)): an address followed by the names it has, one entry a line, "#"
// starting a comment. A dial's host name is looked up here before the name servers are asked.
#pragma once

#include <span>
#include <string_view>

#include "platform/net_address.h"

// Stores in `out` the addresses that the hosts file at `path` gives `name` (its first name or an
// alias, compared without regard to case), in the file's order, each once, at most out.size().
// Lines whose address does not parse are skipped; a file that cannot be read has no entries.
// Returns how many were stored.
int hosts_lookup(const char* path, std::string_view name, std::span<net_address> out);
