// TCP ports for tests (a daemon's listening port, a port nothing listens on), safe from other
// processes taking them between the test's choice and their use.
#pragma once

#include "platform/unique_fd.h"

// A port held for the test's use while this object lives.
//
// The port comes from a range the kernel never hands out by itself (just below the ephemeral
// range of ip_local_port_range), so no socket bound to port 0 or connecting out can take it.
// Test processes running side by side share that range: each port in use is held by an
// abstract Unix socket named after it, which the kernel releases when its holder ends, so a
// crashed test leaves nothing behind. A port is handed out only when a listening socket could
// be bound to it on every address (with SO_REUSEADDR, as the daemon does).
class test_port {
 public:
  // `first` is the port tried first (0: a place in the range that depends on the process).
  explicit test_port(int first = 0);
  // The port number, or 0 when none could be reserved.
  int number() const { return number_; }

 private:
  int number_ = 0;
  unique_fd hold_;
};

// The range test ports are taken from, [first, last]: the 8192 ports below the ephemeral range
// described by `ephemeral_range` (the text of /proc/sys/net/ipv4/ip_local_port_range), or
// above it when there is no room below. {0, -1} when neither side has room.
struct port_range {
  int first = 0;
  int last = -1;
};
port_range test_port_range(const char* ephemeral_range);
