// Looking up the addresses of a host name with the name servers, inside the event loop: one
// c-ares channel for the life of the process, built at the first lookup from the resolver
// configuration and built again when that file has changed since (or after resolver_reload). Its
// sockets go into the loop's select sets and are handed back once select returns. c-ares opens,
// reads and writes them through a table of socket functions: the kernel's here, a simulated
// world's in tests, so that c-ares' own code runs in both.
#pragma once

#include <sys/select.h>
#include <sys/time.h>

#include <array>
#include <cstddef>
#include <string>

#include "platform/net_address.h"

struct ares_socket_functions;

// The most addresses a lookup keeps (more would outlast any dial's time limit).
constexpr int RESOLVE_ADDRESSES_MAX = 8;
// The largest resolver configuration that is read.
constexpr size_t RESOLV_CONF_MAX = 64 * 1024;

struct resolve_result {
  bool ended = false;  // the lookup has an answer, or has failed
  int count = 0;       // addresses found (port 0), both families, each once
  std::array<net_address, RESOLVE_ADDRESSES_MAX> addresses{};
  std::string reason;          // why no address was found
  bool no_descriptor = false;  // it failed for want of a free descriptor
  int error = 0;               // then the errno of that (EMFILE, ENFILE)
  // The resolver configuration could not be used ("is not a regular file", ...): it counts as
  // missing.
  std::string conf_problem;
};

struct resolver_channel;

// The process's name servers; one lookup at a time.
struct name_resolver {
  resolver_channel* channel = nullptr;
  resolve_result result;  // of the latest lookup, once ended
  bool busy = false;      // a lookup is under way
  bool reload = false;    // build the channel again at the next lookup

  name_resolver() = default;
  name_resolver(const name_resolver&) = delete;
  name_resolver& operator=(const name_resolver&) = delete;
  ~name_resolver();
};

// Starts looking up the IPv4 and IPv6 addresses of `name` with the name servers that the
// configuration file `resolv_conf` lists ("nameserver" lines, whose address may be followed by
// ":port", an IPv6 one in brackets; c-ares reads its search list and options). Returns true while
// the lookup is under way; false when it has ended already, r.result saying why (a missing
// file, or one that cannot be used, which counts as missing: "no name servers").
bool resolver_start(name_resolver& r, const char* name, const char* resolv_conf);

// Abandons the lookup under way, if any; its answer is dropped.
void resolver_cancel(name_resolver& r);

// Adds the sockets the lookup waits on to the sets; returns the highest, or -1.
int resolver_watch(const name_resolver& r, fd_set* read_set, fd_set* write_set);

// Lowers `timeout` to the longest the lookup may wait for its next step.
void resolver_bound_wait(const name_resolver& r, timeval& timeout);

// Handles the lookup's sockets that select left in the sets, and its own time-outs (a query sent
// again, or given up); r.result.ended tells when it is over.
void resolver_process(name_resolver& r, const fd_set* read_set, const fd_set* write_set);

// The settings were reloaded (ATZ): the channel is built anew at the next lookup.
void resolver_reload(name_resolver& r);

// The resolver library and its version ("c-ares 1.18.1").
const char* resolver_library_version();

// Installs the socket functions that channels built from now on use (nullptr: the kernel's),
// with `user` handed to each; returns the previous table. The table must outlive its use.
const ares_socket_functions* resolver_use_sockets(const ares_socket_functions* funcs, void* user);
