// The dial of a host name: the name is looked up (the hosts file, then the name servers) while
// the loop goes on, then its addresses are connected to in the way of RFC 8305: IPv6 first, the
// families alternating, one more attempt every NEXT_ATTEMPT_USEC while none has connected, or at
// once when one fails. The first connection that completes carries the call; the others are
// closed at once. A literal address is dialled by call control directly, with one socket.
#pragma once

#include <sys/select.h>

#include <array>

#include "modem/modem_state.h"
#include "platform/countdown.h"
#include "platform/resolver.h"
#include "platform/unique_fd.h"

struct loop_state;

// How long an attempt has to itself before the next address is tried (RFC 8305's default).
constexpr int32_t NEXT_ATTEMPT_USEC = 250000;

// Alive from the first pass to shutdown; busy only while a dial to a name is in progress.
struct name_dial {
  lookup_ptr lookup;                                           // while the name servers are asked
  std::array<net_address, RESOLVE_ADDRESSES_MAX> addresses{};  // in the order they are tried
  int count = 0;
  int next = 0;  // index of the next address to try
  // The attempts under way, by the index of their address.
  std::array<unique_fd, RESOLVE_ADDRESSES_MAX> attempts;
  countdown next_attempt;  // runs while an address waits for its turn
  int last_error = 0;      // errno of the latest attempt that failed
};

// Starts the dial to ms.peer_name (from CALL_IDLE): CALL_DIALING with S7 from `now`, then the
// hosts file and, when it does not know the name, the name servers. A name that gives no usable
// address ends the dial with one level-4 line naming the name and the reason, and NO ANSWER.
void name_dial_start(modem_state& ms, loop_state& ls, const clock_reading& now);

// True while a lookup or an attempt is under way.
bool name_dial_busy(const name_dial& d);

// Adds the descriptors the dial waits on to the sets; returns the highest, or -1.
int name_dial_watch(const name_dial& d, fd_set* read_set, fd_set* write_set);

// Lowers `timeout` to what the lookup or the next attempt allows.
void name_dial_bound_wait(const name_dial& d, timeval& timeout);

// One pass of the dial with what select left in the sets: the lookup's answer or time-outs, the
// attempts that completed or failed, the next attempt when its turn has come. The attempt that
// connects becomes ms.dial_sock (see dial_established); a dial with no attempt left fails.
void name_dial_step(modem_state& ms, loop_state& ls, fd_set* read_set, fd_set* write_set,
                    const clock_reading& now);

// Abandons the lookup and closes the attempts (the dial has ended).
void name_dial_stop(name_dial& d);

// Time check while dialling, with &D2: a DTR drop (debounced by S25 as in data mode) ends the
// dial, a lookup in progress included.
void check_dial_dtr(modem_state& ms, loop_state& ls, const clock_reading& now);

// True for an address on this machine (127.0.0.0/8 or ::1), the only ones a sandbox dials.
bool on_this_machine(const net_address& addr);

// The far end for the log: the address; for a dial to a name, the name, followed by the address
// in parentheses once one has connected. A static buffer that the next call overwrites.
const char* peer_text(const modem_state& ms);
