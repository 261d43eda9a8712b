// The far end of an encrypted call in the simulated world: a TLS session on one end of a kernel
// socket pair, whose other end is copied to and from the simulated connection. The session runs
// on the kernel's system calls, which are put in place for each step.
#pragma once

#include <memory>
#include <string>

#include "platform/tls.h"
#include "platform/unique_fd.h"
#include "sim/sim_world.h"

class sim_tls_peer {
 public:
  // The calling end, or the accepting end (`server`), of the session on `conn`.
  sim_tls_peer(const tls_context& ctx, std::shared_ptr<sim_conn> conn, bool server = false);
  ~sim_tls_peer();
  sim_tls_peer(const sim_tls_peer&) = delete;
  sim_tls_peer& operator=(const sim_tls_peer&) = delete;

  // Copies the bytes both ways, steps the handshake and reads what has come; true once the
  // handshake is done.
  bool pump();
  // Sends `bytes` inside the session (once the handshake is done); false when it cannot.
  bool send(const std::string& bytes);
  std::string take() { return std::exchange(received_, ""); }
  bool ended() const { return ended_; }  // the daemon's close_notify or end of stream came

 private:
  std::shared_ptr<sim_conn> conn_;
  unique_fd mine_, wire_;
  tls_session session_;
  std::string received_;
  bool ended_ = false;
};
