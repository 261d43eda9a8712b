#include "platform/resolver.h"

#include <ares.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/files.h"

// The channel and the configuration it was built from.
struct resolver_channel {
  ares_channel channel = nullptr;
  std::string conf_path;
  std::string conf;  // the file's content when the channel was built
};

namespace {

// errno of the latest socket the kernel's functions could not open, until a lookup starts.
int socket_errno = 0;

ares_socket_t kernel_socket(int domain, int type, int protocol, void* /*user*/) {
  int fd = socket(domain, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    socket_errno = errno;
    return ARES_SOCKET_BAD;
  }
  // select cannot watch it: as good as no descriptor at all.
  if (fd >= FD_SETSIZE) {
    close(fd);
    socket_errno = errno = EMFILE;
    return ARES_SOCKET_BAD;
  }
  return fd;
}

int kernel_close(ares_socket_t fd, void* /*user*/) { return close(fd); }

int kernel_connect(ares_socket_t fd, const sockaddr* addr, ares_socklen_t len, void* /*user*/) {
  return connect(fd, addr, len);
}

ares_ssize_t kernel_recvfrom(ares_socket_t fd, void* buf, size_t len, int flags, sockaddr* from,
                             ares_socklen_t* from_len, void* /*user*/) {
  return recvfrom(fd, buf, len, flags, from, from_len);
}

ares_ssize_t kernel_sendv(ares_socket_t fd, const iovec* iov, int count, void* /*user*/) {
  return writev(fd, iov, count);
}

const ares_socket_functions kernel_sockets = {
    .asocket = kernel_socket,
    .aclose = kernel_close,
    .aconnect = kernel_connect,
    .arecvfrom = kernel_recvfrom,
    .asendv = kernel_sendv,
};

const ares_socket_functions* installed_sockets = nullptr;
void* installed_user = nullptr;

constexpr bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The addresses of the "nameserver" lines of `conf`, comma separated, as
// ares_set_servers_ports_csv takes them: c-ares 1.18 reads no port from the file itself, so the
// daemon reads these lines (and only these) to keep a server's port.
std::string name_servers(std::string_view conf) {
  std::string servers;
  while (!conf.empty()) {
    size_t end = conf.find('\n');
    std::string_view line = conf.substr(0, end);
    conf.remove_prefix(end == std::string_view::npos ? conf.size() : end + 1);
    constexpr std::string_view keyword = "nameserver";
    if (!line.starts_with(keyword) || line.size() == keyword.size() ||
        !is_blank(line[keyword.size()])) {
      continue;
    }
    size_t start = keyword.size();
    while (start < line.size() && is_blank(line[start])) ++start;
    size_t stop = start;
    while (stop < line.size() && !is_blank(line[stop]) && line[stop] != '#' && line[stop] != ';') {
      ++stop;
    }
    if (stop == start) continue;
    if (!servers.empty()) servers += ',';
    servers.append(line.substr(start, stop - start));
  }
  return servers;
}

void end_lookup(name_resolver& r, std::string reason, int no_descriptor_errno = 0) {
  r.busy = false;
  r.result.ended = true;
  r.result.reason = std::move(reason);
  r.result.no_descriptor = no_descriptor_errno != 0;
  r.result.error = no_descriptor_errno;
}

bool descriptor_shortage(int error) { return error == EMFILE || error == ENFILE; }

void on_addresses(void* arg, int status, int /*timeouts*/, ares_addrinfo* info) {
  auto& r = *static_cast<name_resolver*>(arg);
  // An abandoned lookup (cancelled, or its channel destroyed) has no one waiting for it.
  if (!r.busy) {
    if (info != nullptr) ares_freeaddrinfo(info);
    return;
  }
  resolve_result& result = r.result;
  if (status != ARES_SUCCESS) {
    if (status == ARES_ECONNREFUSED && descriptor_shortage(socket_errno)) {
      end_lookup(r, strerror(socket_errno), socket_errno);
    } else {
      end_lookup(r, ares_strerror(status));
    }
    if (info != nullptr) ares_freeaddrinfo(info);
    return;
  }
  for (const ares_addrinfo_node* node = info->nodes; node != nullptr; node = node->ai_next) {
    sockaddr_storage ss{};
    memcpy(&ss, node->ai_addr, std::min<size_t>(node->ai_addrlen, sizeof ss));
    net_address addr = net_address_from_sockaddr(ss);
    addr.port = 0;
    auto found = result.addresses.begin() + result.count;
    if (net_address_empty(addr) || result.count == RESOLVE_ADDRESSES_MAX ||
        std::find(result.addresses.begin(), found, addr) != found) {
      continue;
    }
    result.addresses[result.count++] = addr;
  }
  ares_freeaddrinfo(info);
  end_lookup(r, result.count == 0 ? "no address" : "");
}

void destroy_channel(name_resolver& r) {
  if (r.channel == nullptr) return;
  r.busy = false;  // what the destruction ends is answered to no one
  ares_destroy(r.channel->channel);
  delete r.channel;
  r.channel = nullptr;
}

// Builds the channel for `conf` read from `path`; false with the reason in r.result.
bool build_channel(name_resolver& r, const char* path, const std::string& conf) {
  static const bool library_ready = ares_library_init(ARES_LIB_INIT_ALL) == ARES_SUCCESS;
  if (!library_ready) {
    end_lookup(r, "c-ares cannot start");
    return false;
  }
  std::string servers = name_servers(conf);
  if (servers.empty()) {
    end_lookup(r, "no name servers");
    return false;
  }
  auto* built = new resolver_channel{.conf_path = path, .conf = conf};
  ares_options options{};
  // The configuration's search domains and options apply; its hosts file does not (the daemon
  // reads its own, which ORVANED_ROOT may move): "b" asks the name servers only.
  std::string lookups = "b";
  options.resolvconf_path = built->conf_path.data();
  options.lookups = lookups.data();
  int status = ares_init_options(&built->channel, &options, ARES_OPT_RESOLVCONF | ARES_OPT_LOOKUPS);
  if (status == ARES_SUCCESS) status = ares_set_servers_ports_csv(built->channel, servers.c_str());
  if (status != ARES_SUCCESS) {
    if (built->channel != nullptr) ares_destroy(built->channel);
    delete built;
    end_lookup(r, ares_strerror(status));
    return false;
  }
  const ares_socket_functions* funcs =
      installed_sockets != nullptr ? installed_sockets : &kernel_sockets;
  ares_set_socket_functions(built->channel, funcs,
                            installed_sockets != nullptr ? installed_user : nullptr);
  r.channel = built;
  r.reload = false;
  return true;
}

// The lookup's sockets and what each waits for.
struct lookup_sockets {
  ares_socket_t fds[ARES_GETSOCK_MAXNUM] = {};
  bool read[ARES_GETSOCK_MAXNUM] = {};
  bool write[ARES_GETSOCK_MAXNUM] = {};
};

lookup_sockets sockets_of(const name_resolver& r) {
  lookup_sockets s;
  int bits = ares_getsock(r.channel->channel, s.fds, ARES_GETSOCK_MAXNUM);
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    bool usable = s.fds[i] >= 0 && s.fds[i] < FD_SETSIZE;
    s.read[i] = usable && ARES_GETSOCK_READABLE(bits, i);
    s.write[i] = usable && ARES_GETSOCK_WRITABLE(bits, i);
  }
  return s;
}

}  // namespace

name_resolver::~name_resolver() { destroy_channel(*this); }

bool resolver_start(name_resolver& r, const char* name, const char* resolv_conf) {
  resolver_cancel(r);
  r.result = resolve_result{};
  std::string conf;
  std::string problem;
  int error = 0;
  switch (read_small_file(resolv_conf, RESOLV_CONF_MAX, conf, problem, error)) {
    case SMALL_FILE_READ:
      break;
    case SMALL_FILE_MISSING:
      end_lookup(r, "no name servers");
      return false;
    case SMALL_FILE_UNUSABLE:
      if (descriptor_shortage(error)) {
        end_lookup(r, std::string(resolv_conf) + " " + problem, error);
      } else {
        end_lookup(r, "no name servers");
        r.result.conf_problem = problem;
      }
      return false;
  }
  bool changed =
      r.channel != nullptr && (r.channel->conf != conf || r.channel->conf_path != resolv_conf);
  if (r.reload || changed) destroy_channel(r);
  if (r.channel == nullptr && !build_channel(r, resolv_conf, conf)) return false;
  ares_addrinfo_hints hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = ARES_AI_NOSORT;  // the dialler orders the families itself
  socket_errno = 0;
  r.busy = true;
  ares_getaddrinfo(r.channel->channel, name, nullptr, &hints, on_addresses, &r);
  return r.busy;
}

void resolver_cancel(name_resolver& r) {
  if (!r.busy) return;
  r.busy = false;
  ares_cancel(r.channel->channel);
}

int resolver_watch(const name_resolver& r, fd_set* read_set, fd_set* write_set) {
  if (!r.busy) return -1;
  lookup_sockets s = sockets_of(r);
  int max_fd = -1;
  for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
    if (s.read[i]) FD_SET(s.fds[i], read_set);
    if (s.write[i]) FD_SET(s.fds[i], write_set);
    if (s.read[i] || s.write[i]) max_fd = std::max(max_fd, s.fds[i]);
  }
  return max_fd;
}

void resolver_bound_wait(const name_resolver& r, timeval& timeout) {
  if (!r.busy) return;
  timeval own{};
  timeval* bound = ares_timeout(r.channel->channel, &timeout, &own);
  if (bound != nullptr) timeout = *bound;
}

void resolver_process(name_resolver& r, const fd_set* read_set, const fd_set* write_set) {
  if (!r.busy) return;
  lookup_sockets s = sockets_of(r);
  for (int i = 0; i < ARES_GETSOCK_MAXNUM && r.busy; ++i) {
    bool readable = s.read[i] && FD_ISSET(s.fds[i], read_set);
    bool writable = s.write[i] && FD_ISSET(s.fds[i], write_set);
    if (readable || writable) {
      ares_process_fd(r.channel->channel, readable ? s.fds[i] : ARES_SOCKET_BAD,
                      writable ? s.fds[i] : ARES_SOCKET_BAD);
    }
  }
  // Time-outs: a query sent again, or given up.
  if (r.busy) ares_process_fd(r.channel->channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
}

void resolver_reload(name_resolver& r) { r.reload = true; }

const char* resolver_library_version() {
  static char text[32];
  snprintf(text, sizeof text, "c-ares %s", ares_version(nullptr));
  return text;
}

const ares_socket_functions* resolver_use_sockets(const ares_socket_functions* funcs, void* user) {
  const ares_socket_functions* previous = installed_sockets;
  installed_sockets = funcs;
  installed_user = user;
  return previous;
}
