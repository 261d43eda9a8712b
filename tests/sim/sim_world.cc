#include "sim/sim_world.h"

#include <ares.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr int FIRST_FD = 900;  // far above the test's own descriptors, below FD_SETSIZE
constexpr int64_t WALL_START_SEC = 1700000000;
constexpr int MONOTONIC_START_SEC = 1000;

sim_world* world = nullptr;

// Descriptors below nfds in `set`, counted a word at a time.
int watched_count(const fd_set* set, int nfds) {
  if (set == nullptr) return 0;
  constexpr int bits = 8 * sizeof(__fd_mask);
  int count = 0;
  for (int word = 0; word * bits < nfds; ++word) {
    __fd_mask m = __FDS_BITS(set)[word];
    int beyond = nfds - word * bits;
    if (beyond < bits) m &= (__fd_mask{1} << beyond) - 1;
    count += __builtin_popcountl(static_cast<unsigned long>(m));
  }
  return count;
}

}  // namespace

std::string sim_conn::take() {
  std::string out;
  out.swap(from_daemon);
  return out;
}

// The table the world installs; every entry works on the active world.
struct sim_calls {
  static int select(int nfds, fd_set* read_set, fd_set* write_set, timeval* timeout) {
    sim_world& w = *world;
    fd_set r;
    fd_set wr;
    FD_ZERO(&r);
    FD_ZERO(&wr);
    // A watched descriptor the world does not know (closed, or never opened) is an error, as
    // the kernel's select reports it.
    if (watched_count(read_set, nfds) + watched_count(write_set, nfds) !=
        w.known_count(read_set, nfds) + w.known_count(write_set, nfds)) {
      errno = EBADF;
      return -1;
    }
    int count = 0;
    for (const auto& [fd, c] : w.fds_) {
      if (fd >= nfds) break;
      if (read_set != nullptr && FD_ISSET(fd, read_set) && w.readable(*c)) {
        FD_SET(fd, &r);
        ++count;
      }
      if (write_set != nullptr && FD_ISSET(fd, write_set) && w.writable(*c)) {
        FD_SET(fd, &wr);
        ++count;
      }
    }
    w.last_ready = count;
    w.last_wait = 0;
    w.last_wait_cut = false;
    if (count == 0) {
      int64_t wait = timeout->tv_sec * SEC + timeout->tv_usec;
      // A name server's answer that falls due ends the wait, as its arrival would.
      for (const auto& [fd, c] : w.fds_) {
        if (fd >= nfds || read_set == nullptr || !FD_ISSET(fd, read_set)) continue;
        for (const sim_datagram& d : c->answers)
          wait = std::min(wait, std::max<int64_t>(d.at - w.now_, 0));
      }
      if (w.horizon_ >= 0 && w.horizon_ - w.now_ < wait) {
        wait = std::max<int64_t>(w.horizon_ - w.now_, 0);
        w.last_wait_cut = true;
      }
      w.now_ += wait;
      w.last_wait = wait;
    }
    if (read_set != nullptr) *read_set = r;
    if (write_set != nullptr) *write_set = wr;
    return count;
  }

  // The daemon's own files (status files, settings) are real: their descriptors lie below the
  // world's and go to the kernel.
  static ssize_t read(int fd, void* buf, size_t len) {
    if (fd < FIRST_FD) return kernel_system_calls.read(fd, buf, len);
    return recv(fd, buf, len);
  }

  static ssize_t write(int fd, const void* buf, size_t len) {
    if (fd < FIRST_FD) return kernel_system_calls.write(fd, buf, len);
    return send(fd, buf, len);
  }

  static ssize_t send(int fd, const void* buf, size_t len) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr || c->kind == SIM_LISTEN) {
      errno = EBADF;
      return -1;
    }
    if (c->write_error != 0) {
      errno = c->write_error;
      return -1;
    }
    size_t n = std::min(len, c->room);
    if (n == 0) {
      errno = EAGAIN;
      return -1;
    }
    if (c->room != SIZE_MAX) c->room -= n;
    c->last_sent = world->now_;
    c->writes.push_back(n);
    c->from_daemon.append(static_cast<const char*>(buf), n);
    world->transfers++;
    return static_cast<ssize_t>(n);
  }

  static ssize_t recv(int fd, void* buf, size_t len) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr || c->kind == SIM_LISTEN) {
      errno = EBADF;
      return -1;
    }
    if (!c->to_daemon.empty()) {
      size_t n = std::min({len, c->to_daemon.size(), c->read_max});
      memcpy(buf, c->to_daemon.data(), n);
      c->to_daemon.erase(0, n);
      world->transfers++;
      return static_cast<ssize_t>(n);
    }
    if (c->read_error != 0) {
      errno = std::exchange(c->read_error, 0);
      return -1;
    }
    if (c->eof) return 0;
    errno = EAGAIN;
    return -1;
  }

  static ssize_t peek(int fd, void* buf, size_t len) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr || c->to_daemon.empty()) return recv(fd, buf, len);
    size_t n = std::min(len, c->to_daemon.size());
    memcpy(buf, c->to_daemon.data(), n);
    return static_cast<ssize_t>(n);
  }

  static int close(int fd) {
    if (fd < FIRST_FD) return ::close(fd);
    auto it = world->fds_.find(fd);
    if (it == world->fds_.end()) {
      errno = EBADF;
      return -1;
    }
    it->second->closed = true;
    world->fds_.erase(it);
    world->transfers++;
    return 0;
  }

  static int tcp_socket(net_family family) {
    if (world->socket_error_next != 0) {
      errno = std::exchange(world->socket_error_next, 0);
      return -1;
    }
    auto c = std::make_shared<sim_conn>();
    c->dialled = true;
    c->family = family;
    return world->new_fd(c);
  }

  static int connect(int fd, const net_address& addr) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr) {
      errno = EBADF;
      return -1;
    }
    c->addr = addr;
    c->port = addr.port;
    world->dials_.push_back(c);
    if (world->connect_error_next != 0) {
      errno = std::exchange(world->connect_error_next, 0);
      return -1;
    }
    errno = EINPROGRESS;
    return -1;
  }

  static int accept(int listen_fd, net_address* addr) {
    std::shared_ptr<sim_conn> l = world->conn_of(listen_fd);
    if (l != nullptr && world->accept_error != 0) {
      errno = world->accept_error;
      return -1;
    }
    if (l == nullptr || l->kind != SIM_LISTEN || l->backlog.empty()) {
      errno = l == nullptr ? EBADF : EAGAIN;
      return -1;
    }
    std::shared_ptr<sim_conn> c = l->backlog.front();
    l->backlog.erase(l->backlog.begin());
    c->nonblocking = true;
    if (addr != nullptr) *addr = c->addr;
    return world->new_fd(c);
  }

  static int set_nonblocking(int fd) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr) {
      errno = EBADF;
      return -1;
    }
    c->nonblocking = true;
    return 0;
  }

  static int socket_error(int fd, int* error) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr) {
      errno = EBADF;
      return -1;
    }
    *error = std::max(c->connect_error, 0);
    return 0;
  }

  static int set_int_option(int fd, int level, int name, int value) {
    if (fd < FIRST_FD) return kernel_system_calls.set_int_option(fd, level, name, value);
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr) {
      errno = EBADF;
      return -1;
    }
    c->options[{level, name}] = value;
    return 0;
  }

  // What the daemon set; an option it did not set reads as refused.
  static int get_int_option(int fd, int level, int name, int* value) {
    if (fd < FIRST_FD) return kernel_system_calls.get_int_option(fd, level, name, value);
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr) {
      errno = EBADF;
      return -1;
    }
    auto it = c->options.find({level, name});
    if (it == c->options.end()) {
      errno = ENOPROTOOPT;
      return -1;
    }
    *value = it->second;
    return 0;
  }

  static int modem_ioctl(int fd, unsigned long request, int* bits) {
    if (world->conn_of(fd) == nullptr) {
      errno = EBADF;
      return -1;
    }
    if (request == TIOCMGET) {
      world->modem_get_calls++;
      if (world->modem_get_error != 0) {
        errno = world->modem_get_error;
        return -1;
      }
      *bits = world->dte_dtr ? TIOCM_CAR : 0;
      return 0;
    }
    if ((*bits & TIOCM_DTR) != 0) world->modem_dtr = request == TIOCMBIS;
    return 0;
  }

  static timeval wall_clock() {
    int64_t t = world->now_;
    return {.tv_sec = static_cast<time_t>(WALL_START_SEC + t / SEC),
            .tv_usec = static_cast<suseconds_t>(t % SEC)};
  }

  static int monotonic_clock() { return MONOTONIC_START_SEC + static_cast<int>(world->now_ / SEC); }

  static void sleep(unsigned seconds) {
    world->now_ += seconds * SEC;
    world->slept += seconds * SEC;
  }

  static void sleep_ms(unsigned ms) {
    world->now_ += ms * MSEC;
    world->slept += ms * MSEC;
  }
};

namespace {

int sim_tcp_progress(int fd, tcp_progress* out) {
  std::shared_ptr<sim_conn> c = world->conn_of(fd);
  if (c == nullptr || c->kind != SIM_CALL) {
    errno = c == nullptr ? EBADF : ENOPROTOOPT;
    return -1;
  }
  *out = {.unacked = c->unacked,
          .probes = c->probes,
          .queued_bytes = 0,
          .last_ack_recv_ms = static_cast<uint32_t>((world->now() - c->last_ack) / MSEC),
          .last_data_sent_ms = static_cast<uint32_t>((world->now() - c->last_sent) / MSEC)};
  return 0;
}

const system_calls sim_table = {
    .select = sim_calls::select,
    .read = sim_calls::read,
    .write = sim_calls::write,
    .send = sim_calls::send,
    .recv = sim_calls::recv,
    .close = sim_calls::close,
    .tcp_socket = sim_calls::tcp_socket,
    .connect = sim_calls::connect,
    .accept = sim_calls::accept,
    .set_nonblocking = sim_calls::set_nonblocking,
    .socket_error = sim_calls::socket_error,
    .set_int_option = sim_calls::set_int_option,
    .get_int_option = sim_calls::get_int_option,
    .modem_ioctl = sim_calls::modem_ioctl,
    .wall_clock = sim_calls::wall_clock,
    .monotonic_clock = sim_calls::monotonic_clock,
    .sleep = sim_calls::sleep,
    .sleep_ms = sim_calls::sleep_ms,
    .tcp_progress = sim_tcp_progress,
    .peek = sim_calls::peek,
};

}  // namespace

// The name servers, as c-ares' sockets meet them: each query gets the answer the world's names
// give, due `delay` after it was sent.
struct sim_dns {
  static ares_socket_t open(int /*domain*/, int type, int /*protocol*/, void* /*user*/) {
    if (type != SOCK_DGRAM) {
      errno = EAFNOSUPPORT;
      return ARES_SOCKET_BAD;
    }
    auto c = std::make_shared<sim_conn>();
    c->kind = SIM_DNS;
    int fd = world->new_fd(c);
    return fd < 0 ? ARES_SOCKET_BAD : fd;
  }

  static int close(ares_socket_t fd, void* /*user*/) { return sim_calls::close(fd); }

  static int connect(ares_socket_t fd, const sockaddr* addr, ares_socklen_t len, void* /*user*/) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr || len > sizeof c->server) {
      errno = EBADF;
      return -1;
    }
    memcpy(&c->server, addr, len);
    c->server_len = len;
    return 0;
  }

  static ares_ssize_t recvfrom(ares_socket_t fd, void* buf, size_t len, int /*flags*/,
                               sockaddr* from, ares_socklen_t* from_len, void* /*user*/) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr) {
      errno = EBADF;
      return -1;
    }
    auto due = std::find_if(c->answers.begin(), c->answers.end(),
                            [](const sim_datagram& d) { return d.at <= world->now(); });
    if (due == c->answers.end()) {
      errno = EAGAIN;
      return -1;
    }
    size_t n = std::min(len, due->bytes.size());
    memcpy(buf, due->bytes.data(), n);
    c->answers.erase(due);
    if (from != nullptr && from_len != nullptr) {
      *from_len = std::min<ares_socklen_t>(*from_len, c->server_len);
      memcpy(from, &c->server, *from_len);
    }
    world->transfers++;
    return static_cast<ares_ssize_t>(n);
  }

  static ares_ssize_t sendv(ares_socket_t fd, const iovec* iov, int count, void* /*user*/) {
    std::shared_ptr<sim_conn> c = world->conn_of(fd);
    if (c == nullptr) {
      errno = EBADF;
      return -1;
    }
    std::string query;
    for (int i = 0; i < count; ++i)
      query.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
    world->queries++;
    world->transfers++;
    answer(*c, query);
    return static_cast<ares_ssize_t>(query.size());
  }

  // The answer to `query` (one question of type A or AAAA), queued at its time.
  static void answer(sim_conn& c, const std::string& query) {
    constexpr size_t HEADER = 12;
    size_t pos = HEADER;
    std::string name;
    while (pos < query.size() && query[pos] != 0) {
      size_t label = static_cast<unsigned char>(query[pos]);
      if (!name.empty()) name += '.';
      name.append(query, pos + 1, label);
      pos += label + 1;
    }
    if (pos + 5 > query.size()) return;
    uint16_t type = static_cast<uint16_t>(static_cast<unsigned char>(query[pos + 1]) << 8 |
                                          static_cast<unsigned char>(query[pos + 2]));
    std::string question = query.substr(HEADER, pos + 5 - HEADER);
    const sim_name* known = nullptr;
    for (const auto& [key, value] : world->names) {
      if (strcasecmp(key.c_str(), name.c_str()) == 0) known = &value;
    }
    if (known != nullptr && known->never) return;
    std::string records;
    int count = 0;
    for (const net_address& a : known != nullptr ? known->addresses : std::vector<net_address>{}) {
      bool v6 = a.family == NET_IPV6;
      if (type != (v6 ? 28 : 1)) continue;
      size_t size = v6 ? 16 : 4;
      // The name as a pointer to the question, the type, class IN, a TTL of 60 and the address.
      char head[] = {'\xc0', 12, 0, static_cast<char>(type), 0, 1, 0, 0,
                     0,      60, 0, static_cast<char>(size)};
      records.append(head, sizeof head);
      records.append(reinterpret_cast<const char*>(a.bytes.data()), size);
      ++count;
    }
    // A name with addresses: an answer (maybe empty for this type); else "no such name".
    bool exists = known != nullptr && !known->addresses.empty();
    char flags_low = exists ? '\x80' : '\x83';
    std::string reply = query.substr(0, 2);
    const char header_rest[] = {'\x81', flags_low, 0, 1, 0, static_cast<char>(count), 0, 0, 0, 0};
    reply.append(header_rest, sizeof header_rest);
    reply += question;
    reply += records;
    c.answers.push_back(
        {.at = world->now() + (known != nullptr ? known->delay : 0), .bytes = reply});
  }
};

const ares_socket_functions sim_dns_sockets = {
    .asocket = sim_dns::open,
    .aclose = sim_dns::close,
    .aconnect = sim_dns::connect,
    .arecvfrom = sim_dns::recvfrom,
    .asendv = sim_dns::sendv,
};

sim_world::sim_world() {
  world = this;
  previous_ = use_system_calls(&sim_table);
  previous_sockets_ = resolver_use_sockets(&sim_dns_sockets, this);
}

sim_world::~sim_world() {
  resolver_use_sockets(previous_sockets_, nullptr);
  use_system_calls(previous_);
  world = nullptr;
}

sim_world* sim_world::active() { return world; }

const system_calls& sim_world::calls() { return sim_table; }

int sim_world::new_fd(std::shared_ptr<sim_conn> conn) {
  int fd = FIRST_FD;
  while (fds_.count(fd) != 0) ++fd;
  if (fd >= FD_SETSIZE) {
    errno = EMFILE;
    return -1;
  }
  fds_[fd] = std::move(conn);
  transfers++;
  return fd;
}

int sim_world::open_serial() {
  auto c = std::make_shared<sim_conn>();
  c->kind = SIM_SERIAL;
  c->nonblocking = true;
  serial_fd_ = new_fd(c);
  return serial_fd_;
}

int sim_world::open_listener(uint16_t port) {
  auto c = std::make_shared<sim_conn>();
  c->kind = SIM_LISTEN;
  c->port = port;
  listen_fd_ = new_fd(c);
  return listen_fd_;
}

std::shared_ptr<sim_conn> sim_world::call_in(const net_address& addr, int listen_fd) {
  auto c = std::make_shared<sim_conn>();
  c->addr = addr;
  std::shared_ptr<sim_conn> l = conn_of(listen_fd < 0 ? listen_fd_ : listen_fd);
  if (l != nullptr) l->backlog.push_back(c);
  return c;
}

std::vector<int> sim_world::open_fds() const {
  std::vector<int> out;
  for (const auto& [fd, conn] : fds_) out.push_back(fd);
  return out;
}

std::shared_ptr<sim_conn> sim_world::conn_of(int fd) const {
  auto it = fds_.find(fd);
  return it != fds_.end() ? it->second : nullptr;
}

int sim_world::known_count(const fd_set* set, int nfds) const {
  if (set == nullptr) return 0;
  int count = 0;
  for (const auto& [fd, c] : fds_) count += fd < nfds && FD_ISSET(fd, set) ? 1 : 0;
  return count;
}

bool sim_world::readable(const sim_conn& c) const {
  if (c.kind == SIM_LISTEN) return !c.backlog.empty();
  if (c.kind == SIM_DNS) {
    return std::any_of(c.answers.begin(), c.answers.end(),
                       [this](const sim_datagram& d) { return d.at <= now_; });
  }
  if (c.dialled && c.connect_error != 0) return false;
  return !c.to_daemon.empty() || c.eof || c.read_error != 0;
}

bool sim_world::writable(const sim_conn& c) const {
  if (c.kind == SIM_LISTEN) return false;
  if (c.kind == SIM_DNS) return true;
  if (c.dialled && c.connect_error == -1) return false;
  if (c.dialled && c.connect_error > 0) return true;  // the failed connect is reported
  return c.room >= std::max<size_t>(c.wake_room, 1) || c.write_error != 0;
}
