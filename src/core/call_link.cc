#include "core/call_link.h"

#include <sys/select.h>

#include <cerrno>

#include "platform/sockets.h"

namespace {

ssize_t socket_read(call_link& link, int, void* buf, size_t len) {
  return recv_bytes(link.sock.get(), buf, len);
}

ssize_t socket_write(call_link& link, int, const void* buf, size_t len) {
  return send_bytes(link.sock.get(), buf, len);
}

int socket_wants(const call_link&, int, int want) { return want; }

int socket_flush(call_link&, int) { return 0; }

void socket_close(call_link& link, int) { close_socket(link.sock); }

constexpr link_layer socket_layer = {
    .read = socket_read,
    .write = socket_write,
    .wants = socket_wants,
    .flush = socket_flush,
    .close = socket_close,
};

// The TLS session does its own I/O on the socket, through the system-call table.
ssize_t tls_layer_read(call_link& link, int, void* buf, size_t len) {
  return tls_read(link.tls, buf, len);
}

ssize_t tls_layer_write(call_link& link, int, const void* buf, size_t len) {
  return tls_write(link.tls, buf, len);
}

// The socket is read when the layers above want bytes and the session can take more (its
// output is not full); encrypted output the session holds waits for room whatever they want,
// and decrypted bytes it holds are read without waiting.
int tls_layer_wants(const call_link& link, int level, int want) {
  int tls = tls_wants(link.tls);
  int read = (tls & TLS_WANTS_READ) != 0 ? want & LINK_READ : 0;
  int mask = link.layers[level - 1]->wants(link, level - 1, read);
  if ((want & LINK_READ) != 0 && (tls & TLS_HAS_INPUT) != 0) mask |= LINK_INPUT;
  if ((want & LINK_WRITE) != 0 || (tls & TLS_WANTS_WRITE) != 0) mask |= LINK_WRITE;
  if ((tls & TLS_OUTPUT_FULL) != 0) mask |= LINK_FULL;
  return mask;
}

int tls_layer_flush(call_link& link, int) { return tls_flush(link.tls); }

// Says goodbye (close_notify) if the socket takes it at once.
void tls_layer_close(call_link& link, int level) {
  tls_end(link.tls);
  link.layers[level - 1]->close(link, level - 1);
}

constexpr link_layer tls_layer = {
    .read = tls_layer_read,
    .write = tls_layer_write,
    .wants = tls_layer_wants,
    .flush = tls_layer_flush,
    .close = tls_layer_close,
};

const link_layer& top(const call_link& link) { return *link.layers[link.depth - 1]; }

void reset_link(call_link& link) {
  link.state = LINK_CLOSED;
  link.peer = net_address{};
  link.kind = PEER_DAEMON;
  link.telnet.reset();
  link.layers = {};
  link.depth = 0;
  countdown_stop(link.limit);
  link.watched = 0;
  link.events = 0;
}

}  // namespace

bool link_connect(call_link& link, const net_address& to, link_connect_step& step, int& error) {
  unique_fd sock(tcp_socket(to.family));
  step = CONNECT_SOCKET;
  if (!sock.valid()) {
    error = errno;
    return false;
  }
  step = CONNECT_NONBLOCK;
  if (set_nonblocking(sock.get()) != 0) {
    error = errno;
    return false;
  }
  // select cannot watch it: as good as no descriptor at all.
  step = CONNECT_SOCKET;
  if (sock.get() >= FD_SETSIZE) {
    error = EMFILE;
    return false;
  }
  step = CONNECT_CALL;
  if (tcp_connect(sock.get(), to) != 0 && errno != EINPROGRESS) {
    error = errno;
    return false;
  }
  link_adopt(link, std::move(sock), to, LINK_CONNECTING);
  return true;
}

void link_adopt(call_link& link, unique_fd sock, const net_address& from, link_state state) {
  reset_link(link);
  link.sock = std::move(sock);
  link.peer = from;
  link.state = state;
  link.layers[0] = &socket_layer;
  link.depth = 1;
}

bool link_start_tls(call_link& link, const tls_context& ctx, bool server, const char* host) {
  if (!tls_session_start(link.tls, ctx, link.sock.get(), server, host)) return false;
  link.layers[link.depth++] = &tls_layer;
  link.state = LINK_HANDSHAKING;
  return true;
}

int link_wants(const call_link& link, int want) {
  if (link.depth == 0) return 0;
  return top(link).wants(link, link.depth - 1, want);
}

ssize_t link_read(call_link& link, void* buf, size_t len) {
  return top(link).read(link, link.depth - 1, buf, len);
}

ssize_t link_write(call_link& link, const void* buf, size_t len) {
  return top(link).write(link, link.depth - 1, buf, len);
}

int link_flush(call_link& link) {
  for (int level = link.depth - 1; level >= 0; --level) {
    if (link.layers[level]->flush(link, level) != 0) return -1;
  }
  return 0;
}

void link_idle(call_link& link) {
  for (int level = link.depth - 1; level >= 0; --level) {
    if (link.layers[level]->idle != nullptr) link.layers[level]->idle(link, level);
  }
}

void link_close(call_link& link) {
  if (link.depth > 0) top(link).close(link, link.depth - 1);
  tls_end(link.tls);  // a session whose layer never went on (it could not start) goes too
  reset_link(link);
}

void link_move(call_link& to, call_link& from) {
  to.state = from.state;
  to.sock = std::move(from.sock);
  to.peer = from.peer;
  to.kind = from.kind;
  to.telnet = std::move(from.telnet);
  to.layers = from.layers;
  to.depth = from.depth;
  to.tls = std::move(from.tls);
  to.limit = from.limit;
  to.watched = from.watched;
  to.events = from.events;
  reset_link(from);
}
