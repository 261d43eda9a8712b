// The call's link to the peer: its descriptor, the bytes held on their way through it in each
// direction, and what it waits for. The loop asks the link what to watch and never what kind it
// is; each kind of link is one row of functions (read, write, close, wants), so that another
// kind (an encrypted one) adds a row, not branches in the loop.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>

#include "platform/countdown.h"
#include "platform/tls.h"
#include "platform/unique_fd.h"

constexpr int SERIAL_BUF_SIZE = 1024;
constexpr int TCP_BUF_SIZE = 1024;
// Serial bytes read while a chunk waits for the peer: enough for an escape typed after a
// stall to be seen, bounded so that a DTE that keeps sending is held back by the port.
constexpr int READ_AHEAD_SIZE = 16384;

// What a link waits for on its descriptor (a mask). LINK_HAS_INPUT: bytes that the link holds
// already can be read without waiting for the descriptor (set only with LINK_WANTS_READ).
constexpr int LINK_WANTS_READ = 1;
constexpr int LINK_WANTS_WRITE = 2;
constexpr int LINK_HAS_INPUT = 4;

struct call_link;

// One kind of link. read and write return as recv() and send() do: bytes moved, 0 for the end
// of the stream (read), -1 with errno set (EAGAIN: nothing now).
struct link_kind {
  ssize_t (*read)(call_link& link, void* buf, size_t len) = nullptr;
  ssize_t (*write)(call_link& link, const void* buf, size_t len) = nullptr;
  // Closes the descriptor (a failure, also on an empty link, is logged).
  void (*close)(call_link& link) = nullptr;
  // LINK_WANTS_* for the next select; 0 while the link has no descriptor.
  int (*wants)(const call_link& link) = nullptr;
  // Sends what the link itself holds for the peer (not the bytes of `out`). Returns 0 when
  // nothing is left, -1 with errno (EAGAIN: the peer takes no more now).
  int (*flush)(call_link& link) = nullptr;
};

// A plain TCP connection.
extern const link_kind plain_link;
// An encrypted connection: `tls` holds its session.
extern const link_kind tls_link;

// Alive from the first pass to shutdown; holds a descriptor only during a connected call. In
// command mode the serial side uses `out` to gather a read for the line editor.
struct call_link {
  const link_kind* kind = &plain_link;
  unique_fd sock;
  // The encrypted call's session: from the start of the handshake on the dialling or ringing
  // socket, through the call on `sock`, until the call's socket closes.
  tls_session tls;
  // DTE to peer: the chunk being gathered or sent, and the port read on behind a send.
  std::array<char, SERIAL_BUF_SIZE> out{};
  int out_len = 0;   // bytes held in out
  int out_sent = 0;  // of those, bytes already sent to the peer (a send cut short)
  int sending = 0;   // 1 while out is being sent (the port is read into ahead meanwhile)
  std::array<char, READ_AHEAD_SIZE> ahead{};
  int ahead_len = 0;
  // Peer to DTE.
  std::array<char, TCP_BUF_SIZE> in{};
  int in_len = 0;      // peer bytes held for the serial port
  int in_written = 0;  // of those, bytes already written to the serial port
  // The dead-peer watch (keepalive on): bytes that wait for a peer that has acknowledged
  // nothing for the keepalive's span end the call (check_peer_progress in data_mode.h).
  uint32_t dead_peer_span_ms = 0;  // 0: not watched
  bool bytes_waiting = false;      // bytes wait for the peer since waiting_timer started
  bool waited_span = false;        // and have waited the whole span
  countdown waiting_timer;
  int progress_second = -1;  // monotonic second of the last look at the connection's progress
};

// Starts the dead-peer watch of a new connection; a span of 0 watches nothing.
inline void link_watch(call_link& link, uint32_t span_ms) {
  link.dead_peer_span_ms = span_ms;
  link.bytes_waiting = false;
  link.waited_span = false;
  countdown_stop(link.waiting_timer);
  link.progress_second = -1;
}

inline ssize_t link_read(call_link& link, void* buf, size_t len) {
  return link.kind->read(link, buf, len);
}
inline ssize_t link_write(call_link& link, const void* buf, size_t len) {
  return link.kind->write(link, buf, len);
}
inline void link_close(call_link& link) { link.kind->close(link); }
inline int link_wants(const call_link& link) { return link.kind->wants(link); }
inline int link_flush(call_link& link) { return link.kind->flush(link); }

// True while serial bytes are being sent to the peer: the serial port is read into the
// read-ahead meanwhile.
inline bool serial_send_pending(const call_link& link) { return link.sending != 0; }

// True when the serial port may be read: always, except while the read-ahead is full.
inline bool serial_readable(const call_link& link) {
  return !serial_send_pending(link) || link.ahead_len < READ_AHEAD_SIZE;
}

// Drops every byte held in either direction.
inline void drop_held_bytes(call_link& link) {
  link.ahead_len = 0;
  link.out_len = 0;
  link.out_sent = 0;
  link.sending = 0;
  link.in_len = 0;
  link.in_written = 0;
}
