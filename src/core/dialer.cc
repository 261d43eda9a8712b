#include "core/dialer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config/hosts_file.h"
#include "platform/log.h"
#include "platform/sockets.h"

namespace {

constexpr const char* connect_step_line[] = {
    "create socket error: %s",
    "set NONBLOCK flag errot: %s",
    "connect socket error: %s",
};

bool by_name(const dialer& d) { return !d.request.name.empty(); }

bool attempts_under_way(const dialer& d) {
  return std::any_of(d.attempts.begin(), d.attempts.end(),
                     [](const call_link& l) { return l.state != LINK_CLOSED; });
}

dial_status fail(dialer& d, dial_failure failure, int error = 0) {
  dialer_stop(d);
  d.failure = failure;
  d.error = error;
  d.status = DIAL_FAILED;
  return d.status;
}

// `found` in the order of RFC 8305: IPv6 first, then the families by turns, each in the order
// found; a sandbox keeps only addresses on this machine.
int order_addresses(const dialer& d, const net_address* found, int count,
                    std::array<net_address, RESOLVE_ADDRESSES_MAX>& out) {
  std::array<net_address, RESOLVE_ADDRESSES_MAX> v6{};
  std::array<net_address, RESOLVE_ADDRESSES_MAX> v4{};
  int n6 = 0;
  int n4 = 0;
  for (int i = 0; i < count && i < RESOLVE_ADDRESSES_MAX; ++i) {
    if (d.request.loopback_only && !on_this_machine(found[i])) continue;
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

// Starts connecting to address `i`. False when that failed at once (logged; the failure noted).
bool start_attempt(dialer& d, int i) {
  net_address to = d.addresses[i];
  to.port = d.request.port;
  if (by_name(d)) log_msg(7, "connecting to %s for %s", addr_text(to), d.request.name.c_str());
  link_connect_step step = CONNECT_SOCKET;
  int error = 0;
  if (link_connect(d.attempts[i], to, step, error)) return true;
  // A dial to a name has other addresses to try: its refused connects are no errors.
  if (by_name(d) && step == CONNECT_CALL) {
    log_msg(7, "connecting to %s failed: %s", addr_text(to), strerror(error));
  } else {
    log_msg(3, connect_step_line[step], strerror(error));
  }
  d.failure = DIAL_NO_SOCKET;
  d.error = error;
  return false;
}

// Starts the next address that can be started, and times the turn of the one after it. With no
// attempt left under way the dial has failed, as its last attempt did.
dial_status start_next(dialer& d, const clock_reading& now) {
  while (d.next < d.count && !start_attempt(d, d.next++)) {
  }
  if (d.next < d.count) {
    countdown_start_at(d.next_attempt, 0, NEXT_ATTEMPT_USEC, now.wall);
  } else {
    countdown_stop(d.next_attempt);
  }
  if (!attempts_under_way(d)) return fail(d, d.failure, d.error);
  return d.status;
}

// The name gives no address to dial; a lookup that found no descriptor free is one more socket
// that could not be made.
dial_status not_resolved(dialer& d, const std::string& reason, const resolve_result& result) {
  log_msg(4, "host name %s not resolved: %s", d.request.name.c_str(), reason.c_str());
  return result.no_descriptor ? fail(d, DIAL_NO_SOCKET, result.error) : fail(d, DIAL_NOT_RESOLVED);
}

dial_status addresses_found(dialer& d, const net_address* found, int count,
                            const resolve_result& result, const clock_reading& now) {
  d.count = order_addresses(d, found, count, d.addresses);
  if (d.count == 0) {
    if (count == 0) return not_resolved(d, result.reason, result);
    return not_resolved(d, "no address on this machine (sandbox)", resolve_result{});
  }
  d.next = 0;
  return start_next(d, now);
}

// What a resolver file that cannot be used means: it counts as missing.
void file_unusable(const char* what, const std::string& path, const std::string& problem) {
  log_msg(4, "%s %s %s: read as missing", what, path.c_str(), problem.c_str());
}

}  // namespace

bool on_this_machine(const net_address& addr) {
  static constexpr uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  if (addr.family == NET_IPV6) return memcmp(addr.bytes.data(), loopback6, 16) == 0;
  return addr.family == NET_IPV4 && addr.bytes[0] == 127;
}

dial_status dialer_start(dialer& d, dial_request request, const clock_reading& now) {
  dialer_stop(d);
  d.request = std::move(request);
  d.status = DIAL_GOING;
  d.error = 0;
  d.failure = DIAL_NOT_CONNECTED;
  if (!by_name(d)) {
    if (d.request.loopback_only && !on_this_machine(d.request.address)) {
      log_msg(4, "sandbox: %s is not on this machine; dialling only loopback",
              addr_text(d.request.address));
      return fail(d, DIAL_NOT_HERE);
    }
    log_msg(6, "Trying to connect to %s", addr_text(d.request.address));
    d.addresses[0] = d.request.address;
    d.count = 1;
    d.next = 0;
    return start_next(d, now);
  }
  const char* name = d.request.name.c_str();
  log_msg(6, "Trying to connect to %s", name);
  std::array<net_address, RESOLVE_ADDRESSES_MAX> found{};
  std::string problem;
  int error = 0;
  int count = hosts_lookup(d.request.hosts.c_str(), name, found, problem, error);
  if (!problem.empty()) file_unusable("hosts file", d.request.hosts, problem);
  if (count > 0) {
    log_msg(7, "%s found in %s", name, d.request.hosts.c_str());
    return addresses_found(d, found.data(), count, resolve_result{}, now);
  }
  if (resolver_start(d.resolver, name, d.request.resolv_conf.c_str())) return d.status;
  const resolve_result& result = d.resolver.result;
  if (!result.conf_problem.empty()) {
    file_unusable("resolver configuration", d.request.resolv_conf, result.conf_problem);
  }
  return addresses_found(d, result.addresses.data(), result.count, result, now);
}

dial_status dialer_step(dialer& d, call_link& winner, const clock_reading& now) {
  if (d.status != DIAL_GOING) return d.status;
  if (d.count == 0) {
    // The name servers are asked.
    if (d.resolver.busy || !d.resolver.result.ended) return d.status;
    const resolve_result& result = d.resolver.result;
    return addresses_found(d, result.addresses.data(), result.count, result, now);
  }
  bool failed = false;
  for (int i = 0; i < d.next; ++i) {
    call_link& attempt = d.attempts[i];
    if (attempt.state != LINK_CONNECTING || (attempt.events & LINK_WRITE) == 0) continue;
    int error = 0;
    if (socket_error(attempt.sock.get(), &error) != 0) {
      // The outcome of the connect cannot be known; the attempt has failed.
      error = errno;
      log_msg(3, "getsockopt error: %s", strerror(error));
    }
    if (error == 0) {
      link_move(winner, attempt);
      dialer_stop(d);
      d.status = DIAL_CONNECTED;
      return d.status;
    }
    if (by_name(d))
      log_msg(7, "connecting to %s failed: %s", addr_text(attempt.peer), strerror(error));
    d.failure = DIAL_NOT_CONNECTED;
    d.error = error;
    link_close(attempt);
    failed = true;
  }
  // A failed attempt hands its turn to the next address at once.
  if (failed || (d.next < d.count && countdown_expired(&now.wall, d.next_attempt) != 0)) {
    return start_next(d, now);
  }
  return d.status;
}

void dialer_stop(dialer& d) {
  resolver_cancel(d.resolver);
  for (call_link& attempt : d.attempts) {
    if (attempt.state != LINK_CLOSED) link_close(attempt);
  }
  d.count = 0;
  d.next = 0;
  countdown_stop(d.next_attempt);
  if (d.status == DIAL_GOING) d.status = DIAL_IDLE;
}

void dialer_bound_wait(const dialer& d, timeval& timeout) {
  if (d.status != DIAL_GOING) return;
  resolver_bound_wait(d.resolver, timeout);
  if (d.next < d.count) timeout_min(timeout, d.next_attempt);
}
