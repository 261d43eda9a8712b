// Host names: how two are compared, and the hosts file (hosts(5)), an address followed by the
// names it has, one entry a line, "#" starting a comment. A dial's host name is looked up there
// before the name servers are asked.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/net_address.h"

// True when two host names are the same name: DNS names compare without regard to the case of
// their ASCII letters.
bool host_names_equal(std::string_view a, std::string_view b);

// The largest hosts file that is read, and the longest line of it that counts: a longer line is
// skipped whole, since a cut one could give a name another address.
constexpr size_t HOSTS_FILE_MAX = 1024 * 1024;
constexpr size_t HOSTS_LINE_MAX = 4096;

// Stores in `out` the addresses that the hosts file at `path` gives `name` (its first name or an
// alias, compared without regard to case), in the file's order, each once, at most out.size().
// Lines whose address does not parse are skipped. A missing file has no entries; one that cannot
// be used (not a regular file, larger than HOSTS_FILE_MAX, unreadable) has none either, and
// `problem` says why (empty otherwise); `error` is the errno of a failed open or read, else 0.
// Returns how many were stored.
int hosts_lookup(const char* path, std::string_view name, std::span<net_address> out,
                 std::string& problem, int& error);
