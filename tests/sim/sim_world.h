// A simulated world for the event loop: a virtual clock that moves only while the loop waits in
// select with nothing ready, and descriptors (the serial line, the listening socket, call
// sockets) whose data and readiness the test scripts, and name servers whose answers and delays
// it scripts too. It replaces the platform's system-call and resolver tables while it lives, so
// event_loop_pass runs unchanged against it.
#pragma once

#include <sys/select.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/resolver.h"
#include "platform/system_calls.h"

constexpr int64_t USEC = 1;
constexpr int64_t MSEC = 1000;
constexpr int64_t SEC = 1000000;

enum sim_kind : int { SIM_SERIAL = 0, SIM_LISTEN = 1, SIM_CALL = 2, SIM_DNS = 3 };

// A datagram of the name server for a c-ares socket, due at a virtual time.
struct sim_datagram {
  int64_t at = 0;
  std::string bytes;
};

// One end of the world that the daemon holds a descriptor of; the test plays the other end.
struct sim_conn {
  sim_kind kind = SIM_CALL;
  net_address addr;              // the far end's address (and the port dialled, for outgoing calls)
  uint16_t port = 0;             // the port dialled (outgoing calls) or listened on
  net_family family = NET_NONE;  // the family of an outgoing call's socket
  // Towards the daemon: bytes to read, then end of stream or an error.
  std::string to_daemon;
  bool eof = false;
  size_t read_max = SIZE_MAX;  // the most one read brings (a pty: 4095)
  int read_error = 0;  // errno of the next read once to_daemon is empty (then eof), 0 = none
  // From the daemon: what it wrote, and how much more it may write now.
  std::string from_daemon;
  std::vector<size_t> writes;  // the size of each write that moved bytes
  size_t room = SIZE_MAX;
  // select reports the socket writable with this much room (Linux: a third of its buffer).
  size_t wake_room = 1;
  int write_error = 0;  // errno of writes (EPIPE), 0 = none
  // Outgoing calls: -1 while the connect is pending, then its SO_ERROR (0 = connected).
  int connect_error = -1;
  bool dialled = false;
  bool nonblocking = false;
  std::map<std::pair<int, int>, int> options;      // (level, name) -> value set by the daemon
  bool closed = false;                             // the daemon closed its descriptor
  std::vector<std::shared_ptr<sim_conn>> backlog;  // listening: callers not yet accepted
  // Call sockets: the progress the kernel would report (TCP_INFO); the test plays the kernel.
  uint32_t unacked = 0;  // segments not acknowledged
  uint32_t probes = 0;   // window probes not answered
  int64_t last_ack = 0;  // virtual µs at which the far end last acknowledged anything
  // Virtual µs at which data last went out (a send that moved bytes).
  int64_t last_sent = 0;
  // A name server's socket (SIM_DNS): the server c-ares sent to, and its answers.
  sockaddr_storage server{};
  unsigned server_len = 0;
  std::vector<sim_datagram> answers;

  // The far end: sends bytes, closes (end of stream) or resets (one read fails with
  // ECONNRESET, later ones see end of stream; writes fail with EPIPE).
  void send(const std::string& bytes) { to_daemon += bytes; }
  void close() { eof = true; }
  void reset() {
    read_error = ECONNRESET;
    eof = true;
    write_error = EPIPE;
  }
  // Takes everything the daemon wrote so far.
  std::string take();
};

// What the name servers answer for a name: its addresses (none: "Domain name not found")
// `delay` µs after each query, or nothing ever. The world plays the name servers of the
// resolver configuration through c-ares' socket functions, so c-ares itself asks and reads.
struct sim_name {
  std::vector<net_address> addresses{};
  int64_t delay = 0;
  bool never = false;
};

class sim_world {
 public:
  // Installs the world; the clock starts at wall-clock second 1 700 000 000 exactly and
  // monotonic second 1000.
  sim_world();
  ~sim_world();
  sim_world(const sim_world&) = delete;
  sim_world& operator=(const sim_world&) = delete;

  // Virtual microseconds since the world began.
  int64_t now() const { return now_; }
  // Moves the clock (between passes).
  void advance(int64_t usec) { now_ += usec; }
  // select() never waits past this time (a pass then ends with nothing ready); -1 = no limit.
  void set_horizon(int64_t t) { horizon_ = t; }

  // Descriptors the daemon is given at start-up.
  int open_serial();
  int open_listener(uint16_t port);
  std::shared_ptr<sim_conn> serial() const { return conn_of(serial_fd_); }
  std::shared_ptr<sim_conn> listener() const { return conn_of(listen_fd_); }

  // A caller from `addr` connects to the listening socket `listen_fd` (-1: the one opened last);
  // returns its end.
  std::shared_ptr<sim_conn> call_in(const net_address& addr, int listen_fd = -1);
  // The daemon's outgoing connection attempts, in order.
  const std::vector<std::shared_ptr<sim_conn>>& dials() const { return dials_; }
  // The far end of the attempt accepts (error 0) or refuses it.
  static void finish_connect(sim_conn& c, int error) { c.connect_error = error; }

  // Descriptors the daemon holds open (serial, listener and call sockets).
  std::vector<int> open_fds() const;
  std::shared_ptr<sim_conn> conn_of(int fd) const;

  // The modem lines: the DTE's DTR as the daemon reads it (TIOCM_CAR), the modem's DTR as the
  // daemon sets it.
  bool dte_dtr = true;
  bool modem_dtr = false;
  int modem_get_error = 0;  // errno of TIOCMGET, 0 = works
  int modem_get_calls = 0;
  // Failures of the next socket() and connect() calls (errno, 0 = none): connect then fails at
  // once rather than later.
  int socket_error_next = 0;
  int connect_error_next = 0;
  // errno of every accept() while set (EMFILE: no descriptor free); callers stay waiting.
  int accept_error = 0;

  // The name servers' answers by name, compared without regard to case (a name not here is not
  // found at once), and the queries c-ares sent.
  std::map<std::string, sim_name> names;
  int queries = 0;

  // Bookkeeping the fuzz target and the tests read.
  int64_t last_wait = 0;       // µs the last select waited
  bool last_wait_cut = false;  // the horizon ended that wait before its time-out
  int last_ready = 0;          // what the last select returned
  uint64_t transfers = 0;      // calls that moved bytes, accepted, connected or closed
  int64_t slept = 0;           // µs spent in sleep() and sleep_ms()

  static sim_world* active();
  // The table the world installs (for a harness that wraps some of its calls).
  static const system_calls& calls();

 private:
  friend struct sim_calls;
  int new_fd(std::shared_ptr<sim_conn> conn);
  int known_count(const fd_set* set, int nfds) const;
  bool readable(const sim_conn& c) const;
  bool writable(const sim_conn& c) const;

  int64_t now_ = 0;
  int64_t horizon_ = -1;
  int serial_fd_ = -1;
  int listen_fd_ = -1;
  std::map<int, std::shared_ptr<sim_conn>> fds_;
  std::vector<std::shared_ptr<sim_conn>> dials_;
  const system_calls* previous_ = nullptr;
  const ares_socket_functions* previous_sockets_ = nullptr;
  friend struct sim_dns;
};
