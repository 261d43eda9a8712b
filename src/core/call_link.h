// A call's link to its peer, from the connect() of a dial attempt or the accept() of a caller
// until its socket is closed: its state, the peer's address and kind, and a stack of layers
// through which its bytes pass (the socket, then TLS where the call is encrypted, then telnet on
// a telnet call), each of which adjusts what the loop watches for it. The loop asks every live link
// what to watch and records in it what select found; it never asks what kind of link it is.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <memory>
#include <string>

#include "config/dial_target.h"
#include "core/telnet_layer.h"
#include "platform/countdown.h"
#include "platform/net_address.h"
#include "platform/tls.h"
#include "platform/unique_fd.h"

enum link_state : int {
  LINK_CLOSED = 0,
  LINK_CONNECTING = 1,       // a dial attempt's connect is under way
  LINK_HANDSHAKING = 2,      // the TLS handshake runs
  LINK_AWAITING_ANSWER = 3,  // a dial's connection is up; the callee's answer byte is awaited
  LINK_RINGING = 4,          // a caller that rings the DTE
  LINK_CONNECTED = 5,        // the call is up
};

// What a link waits for on its socket (a mask), and what select found. LINK_INPUT: bytes that a
// layer holds already can be read without waiting for the socket.
constexpr int LINK_READ = 1;
constexpr int LINK_WRITE = 2;
constexpr int LINK_INPUT = 4;
// A layer holds as much output for the peer as it may: nothing more is read until the socket
// has taken some (a peer that makes the session answer and reads nothing).
constexpr int LINK_FULL = 8;

struct call_link;

// One layer of a link. A layer at `level` passes bytes on to the one at level - 1; level 0 is
// the socket. read and write return as recv() and send() do: bytes moved, 0 for the end of the
// stream (read), -1 with errno set (EAGAIN: nothing now).
struct link_layer {
  ssize_t (*read)(call_link& link, int level, void* buf, size_t len) = nullptr;
  ssize_t (*write)(call_link& link, int level, const void* buf, size_t len) = nullptr;
  // What the socket is to be watched for, when the layers above want `want` (LINK_READ,
  // LINK_WRITE): the layer adds what it needs itself, and LINK_INPUT for bytes it holds.
  int (*wants)(const call_link& link, int level, int want) = nullptr;
  // Sends what the layer holds itself. 0 when nothing is left, -1 with errno (EAGAIN: later).
  int (*flush)(call_link& link, int level) = nullptr;
  // Ends the layer: says goodbye where its protocol has one (the socket layer closes).
  void (*close)(call_link& link, int level) = nullptr;
  // The sender has nothing more for now (the forwarding delay ran out with no new byte): a
  // layer completes what it held back for a byte that might have followed. nullptr: nothing.
  void (*idle)(call_link& link, int level) = nullptr;
};

constexpr int LINK_LAYERS_MAX = 3;

struct call_link {
  link_state state = LINK_CLOSED;
  unique_fd sock;
  net_address peer;              // the far end and its port
  peer_kind kind = PEER_DAEMON;  // a caller's kind, by the port it called
  std::array<const link_layer*, LINK_LAYERS_MAX> layers{};
  int depth = 0;                          // layers in use, the socket's included
  tls_session tls;                        // the TLS layer's session
  std::unique_ptr<telnet_stream> telnet;  // the telnet layer's state, while it is on
  countdown limit;                        // an encrypted caller's time to complete its handshake
  int watched = 0;                        // what this pass's select watches for (LINK_* mask)
  int events = 0;  // what it found (LINK_* mask); 0 before the first select of the link
};

// Why link_connect failed, in the words of the log line that reports it.
enum link_connect_step : int {
  CONNECT_SOCKET = 0,    // "create socket error: %s"
  CONNECT_NONBLOCK = 1,  // "set NONBLOCK flag errot: %s"
  CONNECT_CALL = 2,      // "connect socket error: %s"
};

// Starts connecting `link` to `to` (its port given): a non-blocking TCP socket watchable by
// select, and its connect. On success the link is LINK_CONNECTING with the socket layer; on
// failure it stays closed and `step` and `error` say what failed.
bool link_connect(call_link& link, const net_address& to, link_connect_step& step, int& error);

// Takes an accepted connection from `from` as a link in `state`, with the socket layer.
void link_adopt(call_link& link, unique_fd sock, const net_address& from, link_state state);

// Puts the TLS layer on the link and starts its handshake as the accepting end (`server`) or the
// calling end, which requires the peer's certificate to carry `host` when one is given. The link
// is then LINK_HANDSHAKING. False when the session cannot be made.
bool link_start_tls(call_link& link, const tls_context& ctx, bool server, const char* host);

// True when the link's bytes pass through TLS.
inline bool link_encrypted(const call_link& link) { return tls_session_active(link.tls); }

// What the link's socket is to be watched for when its user wants `want` (LINK_READ,
// LINK_WRITE); 0 for a closed link.
int link_wants(const call_link& link, int want);

// Through the layers, from the top.
ssize_t link_read(call_link& link, void* buf, size_t len);
ssize_t link_write(call_link& link, const void* buf, size_t len);
int link_flush(call_link& link);
// Tells every layer that the sender has nothing more for now (link_layer::idle).
void link_idle(call_link& link);

// Ends every layer from the top and closes the socket (a failing close is logged as "close
// socket error: %s"); the link is closed and empty.
void link_close(call_link& link);

// Moves `from` into `to`, which must be closed; `from` is left closed.
void link_move(call_link& to, call_link& from);
