// Looking up the addresses of a host name with the name servers, without blocking the event
// loop: a lookup adds its descriptors to the loop's select sets, bounds the wait, and is handed
// the sets once select returns. The lookups go through a table of function pointers, as the
// system calls do, so that a simulated world can answer them in its own time.
#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include <array>
#include <memory>

#include "platform/net_address.h"

// The most addresses a lookup keeps (more would outlast any dial's time limit).
constexpr int RESOLVE_ADDRESSES_MAX = 8;

struct resolve_result {
  bool ended = false;  // the lookup has an answer, or has failed
  int count = 0;       // addresses found (port 0), both families, each once
  std::array<net_address, RESOLVE_ADDRESSES_MAX> addresses{};
  const char* reason = nullptr;  // static text: why no address was found
};

// One lookup in progress; what it holds belongs to the table that started it.
struct resolver_lookup;

struct resolver_calls {
  // Starts looking up the IPv4 and IPv6 addresses of `name` with the name servers that the
  // resolver configuration `resolv_conf` lists ("nameserver" lines; an address may be followed
  // by ":port", an IPv6 one in brackets). Returns the lookup, or nullptr with a static text in
  // *reason (none of those lines: "no name servers").
  resolver_lookup* (*start)(const char* name, const char* resolv_conf,
                            const char** reason) = nullptr;
  // Adds the descriptors the lookup waits on to the sets; returns the highest, or -1.
  int (*watch)(resolver_lookup* lookup, fd_set* read_set, fd_set* write_set) = nullptr;
  // Lowers *timeout to the longest the lookup may wait for its next step.
  void (*bound_wait)(resolver_lookup* lookup, timeval* timeout) = nullptr;
  // Handles those of the lookup's descriptors that are in the sets (what select left there), and
  // its own time-outs; stores the outcome in *result once the lookup has ended.
  void (*process)(resolver_lookup* lookup, fd_set* read_set, fd_set* write_set,
                  resolve_result* result) = nullptr;
  // Abandons or ends the lookup and frees it.
  void (*finish)(resolver_lookup* lookup) = nullptr;
};

// The name servers, through c-ares.
extern const resolver_calls cares_resolver_calls;

// The table in use (c-ares unless one was installed).
const resolver_calls& resolver();

// Installs `table` (nullptr: c-ares) and returns the previous one. The table must outlive its
// use.
const resolver_calls* use_resolver_calls(const resolver_calls* table);

// Owns a lookup; finishes it through the table in use.
struct lookup_finisher {
  void operator()(resolver_lookup* lookup) const { resolver().finish(lookup); }
};
using lookup_ptr = std::unique_ptr<resolver_lookup, lookup_finisher>;
