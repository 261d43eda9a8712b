#include "platform/resolver.h"

#include <ares.h>
#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

struct resolver_lookup {
  ares_channel channel = nullptr;
  resolve_result result;
};

namespace {

const resolver_calls* installed = nullptr;

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The addresses of the "nameserver" lines of `path`, comma separated, as
// ares_set_servers_ports_csv takes them (c-ares 1.18 reads no port from the file itself).
std::string name_servers(const char* path) {
  std::string servers;
  FILE* file = fopen(path, "re");
  if (file == nullptr) return servers;
  char line[512];
  while (fgets(line, sizeof line, file) != nullptr) {
    std::string_view text(line);
    constexpr std::string_view keyword = "nameserver";
    if (!text.starts_with(keyword) || text.size() == keyword.size() ||
        !is_blank(text[keyword.size()])) {
      continue;
    }
    size_t start = keyword.size();
    while (start < text.size() && is_blank(text[start])) ++start;
    size_t end = start;
    while (end < text.size() && !is_blank(text[end]) && text[end] != '#' && text[end] != ';') {
      ++end;
    }
    if (end == start) continue;
    if (!servers.empty()) servers += ',';
    servers.append(text.substr(start, end - start));
  }
  fclose(file);
  return servers;
}

void on_addresses(void* arg, int status, int /*timeouts*/, ares_addrinfo* info) {
  resolve_result& r = static_cast<resolver_lookup*>(arg)->result;
  r.ended = true;
  if (status != ARES_SUCCESS) {
    r.reason = ares_strerror(status);
    if (info != nullptr) ares_freeaddrinfo(info);
    return;
  }
  for (const ares_addrinfo_node* node = info->nodes; node != nullptr; node = node->ai_next) {
    sockaddr_storage ss{};
    memcpy(&ss, node->ai_addr, std::min<size_t>(node->ai_addrlen, sizeof ss));
    net_address addr = net_address_from_sockaddr(ss);
    addr.port = 0;
    auto found = r.addresses.begin() + r.count;
    if (net_address_empty(addr) || r.count == RESOLVE_ADDRESSES_MAX ||
        std::find(r.addresses.begin(), found, addr) != found) {
      continue;
    }
    r.addresses[r.count++] = addr;
  }
  if (r.count == 0) r.reason = "no address";
  ares_freeaddrinfo(info);
}

void cares_finish(resolver_lookup* lookup) {
  // Destroying the channel ends a query still in flight (its callback sees ARES_EDESTRUCTION).
  if (lookup->channel != nullptr) ares_destroy(lookup->channel);
  delete lookup;
  ares_library_cleanup();
}

resolver_lookup* cares_start(const char* name, const char* resolv_conf, const char** reason) {
  std::string servers = name_servers(resolv_conf);
  if (servers.empty()) {
    *reason = "no name servers";
    return nullptr;
  }
  int status = ares_library_init(ARES_LIB_INIT_ALL);
  if (status != ARES_SUCCESS) {
    *reason = ares_strerror(status);
    return nullptr;
  }
  auto* lookup = new resolver_lookup;
  ares_options options{};
  // The configuration's search domains and options apply; its hosts file does not (the
  // daemon reads its own, which ORVANED_ROOT may move): "b" asks the name servers only.
  std::string path = resolv_conf;
  std::string lookups = "b";
  options.resolvconf_path = path.data();
  options.lookups = lookups.data();
  status = ares_init_options(&lookup->channel, &options, ARES_OPT_RESOLVCONF | ARES_OPT_LOOKUPS);
  if (status == ARES_SUCCESS) status = ares_set_servers_ports_csv(lookup->channel, servers.c_str());
  if (status != ARES_SUCCESS) {
    *reason = ares_strerror(status);
    cares_finish(lookup);
    return nullptr;
  }
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = ARES_AI_NOSORT;  // the dialler orders the families itself
  ares_getaddrinfo(lookup->channel, name, nullptr, &hints, on_addresses, lookup);
  return lookup;
}

// The lookup's sockets and what each waits for. One at or above FD_SETSIZE is left out: select
// cannot watch it, and its query then waits for its time-out.
struct lookup_sockets {
  ares_socket_t fds[ARES_GETSOCK_MAXNUM] = {};
  bool read[ARES_GETSOCK_MAXNUM] = {};
  bool write[ARES_GETSOCK_MAXNUM] = {};
};

lookup_sockets sockets_of(resolver_lookup* lookup) {
  lookup_sockets s;
  int bits = ares_getsock(lookup->channel, s.fds, ARES_GETSOCK_MAXNUM);
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    bool usable = s.fds[i] >= 0 && s.fds[i] < FD_SETSIZE;
    s.read[i] = usable && ARES_GETSOCK_READABLE(bits, i);
    s.write[i] = usable && ARES_GETSOCK_WRITABLE(bits, i);
  }
  return s;
}

int cares_watch(resolver_lookup* lookup, fd_set* read_set, fd_set* write_set) {
  lookup_sockets s = sockets_of(lookup);
  int max_fd = -1;
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    if (s.read[i]) FD_SET(s.fds[i], read_set);
    if (s.write[i]) FD_SET(s.fds[i], write_set);
    if (s.read[i] || s.write[i]) max_fd = std::max(max_fd, s.fds[i]);
  }
  return max_fd;
}

void cares_bound_wait(resolver_lookup* lookup, timeval* timeout) {
  timeval own{};
  timeval* bound = ares_timeout(lookup->channel, timeout, &own);
  if (bound != nullptr) *timeout = *bound;
}

void cares_process(resolver_lookup* lookup, fd_set* read_set, fd_set* write_set,
                   resolve_result* result) {
  if (!lookup->result.ended) {
    lookup_sockets s = sockets_of(lookup);
    for (int i = 0; i < ARES_GETSOCK_MAXNUM && !lookup->result.ended; ++i) {
      bool r = s.read[i] && FD_ISSET(s.fds[i], read_set);
      bool w = s.write[i] && FD_ISSET(s.fds[i], write_set);
      if (r || w) {
        ares_process_fd(lookup->channel, r ? s.fds[i] : ARES_SOCKET_BAD,
                        w ? s.fds[i] : ARES_SOCKET_BAD);
      }
    }
    // Time-outs: a query sent again, or given up.
    if (!lookup->result.ended) ares_process_fd(lookup->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
  }
  if (lookup->result.ended) *result = lookup->result;
}

}  // namespace

const resolver_calls cares_resolver_calls = {
    .start = cares_start,
    .watch = cares_watch,
    .bound_wait = cares_bound_wait,
    .process = cares_process,
    .finish = cares_finish,
};

const resolver_calls& resolver() {
  return installed != nullptr ? *installed : cares_resolver_calls;
}

const resolver_calls* use_resolver_calls(const resolver_calls* table) {
  const resolver_calls* previous = installed;
  installed = table;
  return previous;
}
