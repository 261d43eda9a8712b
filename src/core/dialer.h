// The way of a dial to its connection. The far end's addresses (the one dialled, or those of a
// host name looked up in the hosts file, then with the name servers, while the loop goes on) are
// connected to in the way of RFC 8305: IPv6 first, the families alternating, one more attempt
// every NEXT_ATTEMPT_USEC while none has connected, or at once when one fails. The first attempt
// that connects carries the call; the others are closed at once. The dialer reports what became
// of the dial; call control decides what that means for the call.
#pragma once

#include <array>
#include <string>

#include "core/call_link.h"
#include "platform/countdown.h"
#include "platform/resolver.h"

// How long an attempt has to itself before the next address is tried (RFC 8305's default).
constexpr int32_t NEXT_ATTEMPT_USEC = 250000;

// What a dial is to reach.
struct dial_request {
  net_address address;         // the address dialled, with its port; empty for a name
  std::string name;            // the host name dialled; empty for an address
  uint16_t port = 0;           // the port dialled
  bool loopback_only = false;  // a sandbox: only addresses on this machine are dialled
  std::string hosts;           // the hosts file and the resolver configuration
  std::string resolv_conf;
};

enum dial_status : int { DIAL_IDLE = 0, DIAL_GOING = 1, DIAL_CONNECTED = 2, DIAL_FAILED = 3 };

// Why a dial failed.
enum dial_failure : int {
  DIAL_NO_SOCKET = 0,      // the last attempt could not get a socket or its connect failed at once
  DIAL_NOT_CONNECTED = 1,  // every attempt failed on its way (`error` of the last)
  DIAL_NOT_RESOLVED = 2,   // the name gave no address to dial (said at level 4)
  DIAL_NOT_HERE = 3,       // a sandbox, and an address not on this machine (said at level 4)
};

// Alive from the first pass to shutdown; busy while a dial is under way.
struct dialer {
  dial_request request;
  dial_status status = DIAL_IDLE;
  dial_failure failure = DIAL_NOT_CONNECTED;
  int error = 0;  // errno of the failure (DIAL_NO_SOCKET, DIAL_NOT_CONNECTED)
  name_resolver resolver;
  std::array<net_address, RESOLVE_ADDRESSES_MAX> addresses{};  // in the order they are tried
  int count = 0;
  int next = 0;  // index of the next address to try
  // The attempts under way, by the index of their address.
  std::array<call_link, RESOLVE_ADDRESSES_MAX> attempts;
  countdown next_attempt;  // runs while an address waits for its turn
};

// Starts the dial (logging "Trying to connect to %s"). A dial to an address starts its one
// attempt at once; a dial to a name looks it up in the hosts file, then asks the name servers.
// Returns DIAL_GOING, or DIAL_FAILED when it ended already.
dial_status dialer_start(dialer& d, dial_request request, const clock_reading& now);

// One pass of a dial under way, after the loop has recorded what select found in the attempts
// and handed the lookup its sockets: the lookup's answer, the attempts that connected or failed,
// the next attempt when its turn has come. An attempt that connects is moved into `winner`
// (closed before) and the dial is over (DIAL_CONNECTED); so it is when nothing is left to try
// (DIAL_FAILED).
dial_status dialer_step(dialer& d, call_link& winner, const clock_reading& now);

// True while the dial waits for the name servers' answer.
inline bool dialer_looking_up(const dialer& d) { return d.status == DIAL_GOING && d.count == 0; }

// Ends the dial: abandons the lookup and closes the attempts.
void dialer_stop(dialer& d);

// Lowers `timeout` to what the lookup or the next attempt allows.
void dialer_bound_wait(const dialer& d, timeval& timeout);

// True for an address on this machine (127.0.0.0/8 or ::1), the only ones a sandbox dials.
bool on_this_machine(const net_address& addr);
