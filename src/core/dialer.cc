#include "core/dialer.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "at/sreg_table.h"
#include "config/dial_target.h"
#include "core/call_control.h"
#include "core/loop_state.h"
#include "platform/hosts_file.h"
#include "platform/log.h"
#include "platform/serial_port.h"
#include "platform/sockets.h"

namespace {

bool attempts_under_way(const name_dial& d) {
  return std::any_of(d.attempts.begin(), d.attempts.end(),
                     [](const unique_fd& s) { return s.valid(); });
}

// `found` in the order of RFC 8305: IPv6 first, then the families by turns, each in the order
// found; a sandbox keeps only addresses on this machine.
int order_addresses(const modem_state& ms, const net_address* found, int count,
                    std::array<net_address, RESOLVE_ADDRESSES_MAX>& out) {
  std::array<net_address, RESOLVE_ADDRESSES_MAX> v6{};
  std::array<net_address, RESOLVE_ADDRESSES_MAX> v4{};
  int n6 = 0;
  int n4 = 0;
  for (int i = 0; i < count && i < RESOLVE_ADDRESSES_MAX; ++i) {
    if (ms.paths.dial_loopback_only && !on_this_machine(found[i])) continue;
    if (found[i].family == NET_IPV6) v6[n6++] = found[i];
    if (found[i].family == NET_IPV4) v4[n4++] = found[i];
  }
  int n = 0;
  for (int i = 0; i < n6 || i < n4; ++i) {
    if (i < n6) out[n++] = v6[i];
    if (i < n4) out[n++] = v4[i];
  }
  return n;
}

// Starts connecting to address `i`. False when that failed at once (logged; last_error set).
bool start_attempt(modem_state& ms, name_dial& d, int i) {
  net_address to = d.addresses[i];
  to.port = ms.peer_name_port;
  log_msg(7, "connecting to %s for %s", addr_text(to), ms.peer_name.data());
  unique_fd sock(tcp_socket(to.family));
  int error = 0;
  if (!sock.valid()) {
    error = errno;
    log_msg(3, "create socket error: %s", strerror(error));
  } else if (set_nonblocking(sock.get()) != 0) {
    error = errno;
    log_msg(3, "set NONBLOCK flag errot: %s", strerror(error));
  } else if (sock.get() >= FD_SETSIZE) {
    error = EMFILE;
    log_msg(3, "create socket error: %s", strerror(error));
  } else if (tcp_connect(sock.get(), to, dial_default_port(ms.settings, ms.peer_tls)) == 0 ||
             errno == EINPROGRESS) {
    d.attempts[i] = std::move(sock);
    return true;
  } else {
    error = errno;
    log_msg(7, "connecting to %s failed: %s", addr_text(to), strerror(error));
  }
  if (sock.valid()) close_socket(sock);
  d.last_error = error;
  return false;
}

// Starts the next address that can be started, and times the turn of the one after it. With no
// attempt left under way the dial has failed.
void start_next(modem_state& ms, loop_state& ls, const clock_reading& now) {
  name_dial& d = ls.dialer;
  while (d.next < d.count && !start_attempt(ms, d, d.next++)) {
  }
  if (d.next < d.count) {
    countdown_start_at(d.next_attempt, 0, NEXT_ATTEMPT_USEC, now.wall);
  } else {
    countdown_stop(d.next_attempt);
  }
  if (!attempts_under_way(d)) call_hangup(ms, ls, HANGUP_CONNECT_FAILED, d.last_error);
}

void name_failed(modem_state& ms, loop_state& ls, const char* reason) {
  log_msg(4, "host name %s not resolved: %s", ms.peer_name.data(), reason);
  call_hangup(ms, ls, HANGUP_NAME_FAILED);
}

void addresses_found(modem_state& ms, loop_state& ls, const net_address* found, int count,
                     const char* reason, const clock_reading& now) {
  name_dial& d = ls.dialer;
  d.count = order_addresses(ms, found, count, d.addresses);
  if (d.count == 0) {
    name_failed(ms, ls, count == 0 ? reason : "no address on this machine (sandbox)");
    return;
  }
  d.next = 0;
  d.last_error = 0;
  start_next(ms, ls, now);
}

// The attempt at index `i` has connected: it carries the call, the others end.
void attempt_connected(modem_state& ms, loop_state& ls, int i) {
  name_dial& d = ls.dialer;
  ms.peer_addr = d.addresses[i];
  ms.peer_addr.port = ms.peer_name_port;
  ms.dial_sock = std::move(d.attempts[i]);
  name_dial_stop(d);
  dial_established(ms, ls);
}

}  // namespace

bool on_this_machine(const net_address& addr) {
  static constexpr uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (addr.family == NET_IPV6) return memcmp(addr.bytes.data(), loopback6, 16) == 0;
  return addr.family == NET_IPV4 && addr.bytes[0] == 127;
}

void name_dial_start(modem_state& ms, loop_state& ls, const clock_reading& now) {
  const char* name = ms.peer_name.data();
  log_msg(6, "Trying to connect to %s", name);
  countdown_start_at(ls.dial_timer, saturated_seconds(ms.settings.sreg_conn_tout), 0, now.wall);
  ms.call_state = CALL_DIALING;
  ls.dial_connected = 0;
  std::array<net_address, RESOLVE_ADDRESSES_MAX> found{};
  int count = hosts_lookup(ms.paths.hosts.c_str(), name, found);
  if (count > 0) {
    log_msg(7, "%s found in %s", name, ms.paths.hosts.c_str());
    addresses_found(ms, ls, found.data(), count, nullptr, now);
    return;
  }
  const char* reason = "no name servers";
  ls.dialer.lookup.reset(resolver().start(name, ms.paths.resolv_conf.c_str(), &reason));
  if (ls.dialer.lookup == nullptr) {
    name_failed(ms, ls, reason);
    return;
  }
  // An answer may be known at once (a configuration without servers, a malformed name).
  fd_set none_read;
  fd_set none_write;
  FD_ZERO(&none_read);
  FD_ZERO(&none_write);
  name_dial_step(ms, ls, &none_read, &none_write, now);
}

bool name_dial_busy(const name_dial& d) { return d.lookup != nullptr || attempts_under_way(d); }

int name_dial_watch(const name_dial& d, fd_set* read_set, fd_set* write_set) {
  int max_fd = -1;
  if (d.lookup != nullptr) max_fd = resolver().watch(d.lookup.get(), read_set, write_set);
  for (const unique_fd& s : d.attempts) {
    if (!s.valid()) continue;
    FD_SET(s.get(), write_set);
    max_fd = std::max(max_fd, s.get());
  }
  return max_fd;
}

void name_dial_bound_wait(const name_dial& d, timeval& timeout) {
  if (d.lookup != nullptr) resolver().bound_wait(d.lookup.get(), &timeout);
  if (d.next < d.count) timeout_min(timeout, d.next_attempt);
}

void name_dial_step(modem_state& ms, loop_state& ls, fd_set* read_set, fd_set* write_set,
                    const clock_reading& now) {
  name_dial& d = ls.dialer;
  if (d.lookup != nullptr) {
    resolve_result result;
    resolver().process(d.lookup.get(), read_set, write_set, &result);
    if (!result.ended) return;
    d.lookup.reset();
    addresses_found(ms, ls, result.addresses.data(), result.count, result.reason, now);
    return;
  }
  // Every attempt is looked at before a new one starts: a new socket may get the number of
  // one closed here, whose readiness the sets still show.
  bool failed = false;
  for (int i = 0; i < d.next; ++i) {
    unique_fd& sock = d.attempts[i];
    if (!sock.valid() || !FD_ISSET(sock.get(), write_set)) continue;
    int error = 0;
    if (socket_error(sock.get(), &error) != 0) {
      error = errno;
      log_msg(3, "getsockopt error: %s", strerror(error));
    }
    if (error == 0) {
      attempt_connected(ms, ls, i);
      return;
    }
    log_msg(7, "connecting to %s failed: %s", addr_text(d.addresses[i]), strerror(error));
    d.last_error = error;
    close_socket(sock);
    failed = true;
  }
  // A failed attempt hands its turn to the next address at once.
  if (failed || (d.next < d.count && countdown_expired(&now.wall, d.next_attempt) != 0)) {
    start_next(ms, ls, now);
  }
}

void name_dial_stop(name_dial& d) {
  d.lookup.reset();
  for (unique_fd& s : d.attempts) {
    if (s.valid()) close_socket(s);
  }
  d.count = 0;
  d.next = 0;
  countdown_stop(d.next_attempt);
}

void check_dial_dtr(modem_state& ms, loop_state& ls, const clock_reading& now) {
  const modem_settings& s = ms.settings;
  if (s.stat_dtr_action != 2) return;
  int bits = 0;
  // Unreadable lines count as DTR up, as in data mode (logged there, not on every dialling pass).
  if (get_modem_lines(ms.serial_fd.get(), &bits) != 0 || (bits & TIOCM_CAR) != 0) {
    ls.dtr_drop_timing = 0;
    countdown_stop(ls.dtr_timer);
    return;
  }
  if (s.sreg_dtr_ignore != 0) {
    if (ls.dtr_drop_timing == 0) {
      countdown_start_at(ls.dtr_timer, ms.dtr_ignore_sec, ms.dtr_ignore_usec, now.wall);
      ls.dtr_drop_timing = 1;
      return;
    }
    if (countdown_expired(&now.wall, ls.dtr_timer) == 0) return;
  }
  call_hangup(ms, ls, HANGUP_DIAL_DTR_DROP);
}

const char* peer_text(const modem_state& ms) {
  static char text[DIAL_NAME_MAX + NET_ADDRESS_TEXT_SIZE + 4];
  if (ms.peer_name[0] == '\0') return addr_text(ms.peer_addr);
  if (net_address_empty(ms.peer_addr)) {
    snprintf(text, sizeof text, "%s", ms.peer_name.data());
  } else {
    snprintf(text, sizeof text, "%s (%s)", ms.peer_name.data(), addr_text(ms.peer_addr));
  }
  return text;
}
