#include "core/listeners.h"

#include <algorithm>

#include "core/call_control.h"

namespace {

struct peer_listener {
  peer_kind kind = PEER_RAW;
  unique_fd modem_state::*sock = nullptr;
  uint32_t modem_settings::*port = nullptr;
};

constexpr peer_listener peer_listeners[] = {
    {PEER_RAW, &modem_state::raw_listen_sock, &modem_settings::raw_port},
    {PEER_TELNET, &modem_state::telnet_listen_sock, &modem_settings::telnet_port},
};

void accept_peer_call(modem_state& ms, loop_state& ls, const peer_listener& l,
                      const clock_reading& now) {
  call_link caller;
  if (!accept_allowed(ms, ls, (ms.*l.sock).get(), caller, now, l.kind)) return;
  if (caller.sock.get() >= FD_SETSIZE) {
    turn_away(ls, caller, "rejected", now);
    return;
  }
  ring_caller(ms, ls, caller, now);
}

}  // namespace

int watch_peer_listeners(const modem_state& ms, const loop_state& ls, fd_set& read) {
  int max_fd = -1;
  if (ls.listen_paused) return max_fd;
  for (const peer_listener& l : peer_listeners) {
    int fd = (ms.*l.sock).get();
    if (fd < 0) continue;
    FD_SET(fd, &read);
    max_fd = std::max(max_fd, fd);
  }
  return max_fd;
}

void peer_listeners_ready(modem_state& ms, loop_state& ls, const fd_set& read,
                          const clock_reading& now) {
  for (const peer_listener& l : peer_listeners) {
    int fd = (ms.*l.sock).get();
    if (fd >= 0 && FD_ISSET(fd, &read)) accept_peer_call(ms, ls, l, now);
  }
}
