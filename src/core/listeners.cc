#include "core/listeners.h"

#include <algorithm>

#include "core/call_control.h"
#include "platform/sockets.h"

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

bool open_peer_listeners(modem_state& ms, std::string& reason, std::string& detail) {
  for (const peer_listener& l : peer_listeners) {
    // They take plain calls, which MOD_ORVANE_TLS_ONLY=1 refuses.
    uint32_t port = ms.settings.*l.port;
    if (port == 0 || ms.settings.tls_only == 1) continue;
    (ms.*l.sock).reset(open_listen_socket(port));
    if ((ms.*l.sock).valid()) continue;
    reason = std::string("can't open ") + peer_kind_name(l.kind) + " listen socket";
    detail = "can't listen on TCP port " + std::to_string(port) + " of every address";
    return false;
  }
  return true;
}

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
