// The far end of an encrypted call in the simulated world: a TLS session (the calling end, or
// the accepting end when `server`) on one end of a kernel socket pair, whose other end is copied
// to and from the simulated connection. The session runs on the kernel's system calls, which are
// put in place for each step.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "platform/tls.h"
#include "platform/unique_fd.h"
#include "sim/sim_world.h"

class sim_tls_peer {
 public:
  sim_tls_peer(const tls_context& ctx, std::shared_ptr<sim_conn> conn, bool server = false)
      : conn_(std::move(conn)) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return;
    mine_.reset(fds[0]);
    wire_.reset(fds[1]);
    tls_session_start(session_, ctx, mine_.get(), server, nullptr);
  }
  ~sim_tls_peer() {
    const system_calls* sim = use_system_calls(nullptr);
    session_ = tls_session{};
    mine_.reset();
    wire_.reset();
    use_system_calls(sim);
  }
  // Copies the bytes both ways, steps the handshake and reads what has come; true once the
  // handshake is done.
  bool pump() {
    if (!tls_session_active(session_)) return false;
    const system_calls* sim = use_system_calls(nullptr);
    std::string out = conn_->take();
    if (!out.empty() && write(wire_.get(), out.data(), out.size()) < 0) ended_ = true;
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
  // Sends `bytes` inside the session once the handshake is done; false when it cannot.
  bool send(const std::string& bytes) {
    if (!tls_handshake_done(session_)) return false;
    const system_calls* sim = use_system_calls(nullptr);
    ssize_t n = tls_write(session_, bytes.data(), bytes.size());
    use_system_calls(sim);
    pump();
    return n == static_cast<ssize_t>(bytes.size());
  }
  std::string take() { return std::exchange(received_, ""); }
  bool ended() const { return ended_; }  // the daemon's close_notify or end of stream came

 private:
  std::shared_ptr<sim_conn> conn_;
  unique_fd mine_, wire_;
  tls_session session_;
  std::string received_;
  bool ended_ = false;
};
