// TCP sockets of the emulated telephone network: the listening socket, call sockets,
// keepalive, and plain send/receive that never raise SIGPIPE.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/net_address.h"
#include "platform/unique_fd.h"

struct tcp_progress;

// A listening socket on the low 16 bits of `port`, SO_REUSEADDR, backlog 8, on `address` when
// it holds one (a socket of its family), else on every address: one dual-stack socket on
// in6addr_any (IPV6_V6ONLY off) that takes callers of both families, or, when the kernel has no
// IPv6 (EAFNOSUPPORT, logged at level 4), one on INADDR_ANY. Returns the descriptor, or -1 with
// errno set; failures are logged directly at level 3 ("create socket error: %s",
// "setsockopt(SO_REUSEADDR) error: %s" and "setsockopt(IPV6_V6ONLY) error: %s" (not fatal),
// "bind socket error: %s", "listen on socket error: %s").
int open_listen_socket(uint32_t port, const net_address& address = {});

// The address and port a socket is bound to (getsockname): family NET_IPV6 with all bytes 0 for
// a dual-stack socket on every address, NET_IPV4 with all bytes 0 for INADDR_ANY. No address
// when it cannot be read.
net_address socket_local_address(int sock);

// Sets SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPINTVL and TCP_KEEPCNT. Each refusal is logged
// directly at level 3 and the next option is still tried. Returns the whole span of the
// keepalive in effect in milliseconds (idle + interval x probes, as the socket reports them back,
// see keepalive_span_ms), or 0 when the socket cannot say. Then, where the kernel has it,
// TCP_RTO_MAX_MS of half the span (1 to 120 s; a refusal is not logged): resends and window
// probes no further apart. No TCP_USER_TIMEOUT: it would also end a connection whose peer
// answers every probe but advertises no room; the caller watches unacknowledged data itself
// (tcp_progress_of).
uint32_t enable_keepalive(int sock, uint32_t idle, uint32_t interval, uint32_t probes);

// The span in milliseconds of a keepalive of `idle` + `interval` x `probes` seconds, saturated
// at INT32_MAX.
uint32_t keepalive_span_ms(uint32_t idle, uint32_t interval, uint32_t probes);

// The connection's progress (TCP_INFO). Returns 0, or -1 with errno set.
int tcp_progress_of(int sock, tcp_progress* out);

// Closes the socket held by `sock` and empties it; a failing close (also on an empty variable,
// EBADF) is logged through log_msg at level 3 as "close socket error: %s".
void close_socket(unique_fd& sock);

// A new TCP socket of `family` (close-on-exec). Returns the descriptor, or -1 with errno set.
int tcp_socket(net_family family);

// Sets O_NONBLOCK. Returns 0, or -1 with errno set.
int set_nonblocking(int fd);

// Starts a connect to addr and its port. Returns 0 or -1 with errno set (EINPROGRESS on a
// non-blocking socket is such a -1).
int tcp_connect(int fd, const net_address& addr);

// Reads SO_ERROR into *error. Returns 0, or -1 with errno set when getsockopt fails.
int socket_error(int fd, int* error);

// Accepts a connection; the new socket is non-blocking and close-on-exec. Stores the peer's
// address and port in *addr (an IPv4 caller as IPv4 also when it came in over IPv6). Returns
// the descriptor, or -1 with errno set.
int accept_connection(int listen_fd, net_address* addr);

// send() without SIGPIPE (MSG_NOSIGNAL) / recv(); results as those calls give them.
ssize_t send_bytes(int fd, const void* buf, size_t len);
ssize_t recv_bytes(int fd, void* buf, size_t len);

// recv() that leaves the bytes to be read again; results as recv() gives them.
ssize_t peek_bytes(int fd, void* buf, size_t len);
