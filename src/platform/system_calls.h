// The system calls the event loop makes (select, descriptor and socket I/O, the modem-line
// ioctls, the two clocks, sleeping), behind one table of function pointers. The daemon runs on
// the kernel's table; a test or a fuzz target installs a simulated world in its place, so that
// the loop's passes run against descriptors and a clock the test controls.
#pragma once

#include <sys/select.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cstdint>

#include "platform/net_address.h"

// What a TCP connection says of its progress (TCP_INFO).
struct tcp_progress {
  uint32_t unacked = 0;            // segments sent and not acknowledged
  uint32_t probes = 0;             // window probes sent and not answered
  uint32_t queued_bytes = 0;       // in the send queue, sent or not, not acknowledged (SIOCOUTQ)
  uint32_t last_ack_recv_ms = 0;   // since the peer last acknowledged anything
  uint32_t last_data_sent_ms = 0;  // since a segment with data last went out (a resend too)
};

struct system_calls {
  // select() with read and write sets; no retry on EINTR.
  int (*select)(int nfds, fd_set* read_set, fd_set* write_set, timeval* timeout) = nullptr;
  ssize_t (*read)(int fd, void* buf, size_t len) = nullptr;
  ssize_t (*write)(int fd, const void* buf, size_t len) = nullptr;
  // send() with MSG_NOSIGNAL / recv() without flags.
  ssize_t (*send)(int fd, const void* buf, size_t len) = nullptr;
  ssize_t (*recv)(int fd, void* buf, size_t len) = nullptr;
  int (*close)(int fd) = nullptr;
  // A TCP socket of `family` (NET_IPV4 or NET_IPV6), close-on-exec.
  int (*tcp_socket)(net_family family) = nullptr;
  // connect() to addr and its port.
  int (*connect)(int fd, const net_address& addr) = nullptr;
  // accept4() with SOCK_NONBLOCK | SOCK_CLOEXEC; stores the peer's address and port (an IPv4
  // caller on a dual-stack socket as IPv4).
  int (*accept)(int listen_fd, net_address* addr) = nullptr;
  // fcntl(F_SETFL) adding O_NONBLOCK.
  int (*set_nonblocking)(int fd) = nullptr;
  // getsockopt(SO_ERROR).
  int (*socket_error)(int fd, int* error) = nullptr;
  // setsockopt() / getsockopt() of one int option.
  int (*set_int_option)(int fd, int level, int name, int value) = nullptr;
  int (*get_int_option)(int fd, int level, int name, int* value) = nullptr;
  // TIOCMGET, TIOCMBIS and TIOCMBIC (which fail on a pty).
  int (*modem_ioctl)(int fd, unsigned long request, int* bits) = nullptr;
  timeval (*wall_clock)() = nullptr;  // gettimeofday
  // Whole seconds of CLOCK_MONOTONIC, -1 when it cannot be read.
  int (*monotonic_clock)() = nullptr;
  void (*sleep)(unsigned seconds) = nullptr;
  // Sleeps `ms` milliseconds whole, resuming when a signal handler interrupts the wait.
  void (*sleep_ms)(unsigned ms) = nullptr;
  // setsid() and signal(), which start-up calls once; results ignored.
  void (*new_session)() = nullptr;
  void (*set_signal)(int signo, void (*handler)(int)) = nullptr;
  // getsockopt(TCP_INFO) and ioctl(SIOCOUTQ), the fields above.
  int (*tcp_progress)(int fd, ::tcp_progress* out) = nullptr;
  // recv() with MSG_PEEK: the bytes stay to be read.
  ssize_t (*peek)(int fd, void* buf, size_t len) = nullptr;
};

// The kernel's calls.
extern const system_calls kernel_system_calls;

// The table in use (the kernel's unless one was installed).
const system_calls& sys();

// Installs `table` (nullptr: the kernel's) and returns the previous one. The table must outlive
// its use.
const system_calls* use_system_calls(const system_calls* table);
