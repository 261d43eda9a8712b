#include "sim/sim_tls_peer.h"

#include <sys/socket.h>
#include <unistd.h>

sim_tls_peer::sim_tls_peer(const tls_context& ctx, std::shared_ptr<sim_conn> conn, bool server)
    : conn_(std::move(conn)) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return;
  mine_.reset(fds[0]);
  wire_.reset(fds[1]);
  tls_session_start(session_, ctx, mine_.get(), server, nullptr);
}

sim_tls_peer::~sim_tls_peer() {
  const system_calls* sim = use_system_calls(nullptr);
  session_ = tls_session{};
  mine_.reset();
  wire_.reset();
  use_system_calls(sim);
}

bool sim_tls_peer::pump() {
  if (!tls_session_active(session_)) return false;
  const system_calls* sim = use_system_calls(nullptr);
  std::string from_daemon = conn_->take();
  if (!from_daemon.empty() && write(wire_.get(), from_daemon.data(), from_daemon.size()) < 0) {
    ended_ = true;
  }
  if (conn_->closed) shutdown(wire_.get(), SHUT_WR);
  char buf[4096];
  ssize_t n;
  std::string reason;
  if (!tls_handshake_done(session_)) tls_handshake(session_, reason);
  while (tls_handshake_done(session_) && !ended_ &&
         (n = tls_read(session_, buf, sizeof buf)) >= 0) {
    if (n == 0) ended_ = true;
    received_.append(buf, static_cast<size_t>(n));
  }
  // What the session wrote reaches the daemon in its next pass.
  while ((n = read(wire_.get(), buf, sizeof buf)) > 0) {
    if (!conn_->eof) conn_->send(std::string(buf, static_cast<size_t>(n)));
  }
  bool done = tls_handshake_done(session_);
  use_system_calls(sim);
  return done;
}

bool sim_tls_peer::send(const std::string& bytes) {
  if (!tls_handshake_done(session_)) return false;
  const system_calls* sim = use_system_calls(nullptr);
  bool sent = tls_write(session_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  use_system_calls(sim);
  pump();
  return sent;
}
