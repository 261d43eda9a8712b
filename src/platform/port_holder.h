// Who holds a TCP port that the daemon cannot bind: the socket bound to it, from the kernel's
// tables in /proc/net, and the process that has that socket open, from /proc/PID/fd.
#pragma once

#include <cstdint>
#include <string>

struct port_holder {
  int pid = 0;          // 0 when no process was found
  std::string program;  // its name (/proc/PID/comm), empty when unknown
};

// The process other than this one that holds a TCP socket bound to the low 16 bits of `port`
// (a listening one first). pid 0 when none is found: no such socket in this network namespace,
// or its process is hidden or belongs to a user whose descriptors this one may not read.
port_holder find_port_holder(uint32_t port);
