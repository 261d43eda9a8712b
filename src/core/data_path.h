// The bytes of a call on their way between the serial port and the call's link, in both
// directions, the retry of a send the link has cut short, and the dead-peer watch of the bytes
// that wait for the peer. In command mode the serial side uses `out` to gather a read for the
// line editor.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "platform/countdown.h"

// What the DTE's bytes are forwarded in: a chunk goes when it is full or after S11.
constexpr int SERIAL_BUF_SIZE = 1024;
// A caller's bytes thrown away before the answer, a buffer at a time.
constexpr int TCP_BUF_SIZE = 1024;
// Serial bytes read while a chunk waits for the peer: enough for an escape typed after a
// stall to be seen, bounded so that a DTE that keeps sending is held back by the port.
constexpr int READ_AHEAD_SIZE = 16384;
// The most one write to the link takes: whole chunks that wait together go in one write (one
// TLS record).
constexpr int SEND_MAX = 16384;
// The most peer bytes one receive brings, and the least it may always bring.
constexpr int PEER_READ_MAX = READ_AHEAD_SIZE;
constexpr int PEER_READ_MIN = 1024;
// A send the link cut short is tried again after this, and after twice as long each time it
// takes nothing, up to a second; a try that moves bytes starts over.
constexpr int32_t SEND_RETRY_FIRST_USEC = 10000;
constexpr int32_t SEND_RETRY_LAST_USEC = 1000000;

// Alive from the first pass to shutdown.
struct data_path {
  // DTE to peer: out[0, out_len) holds the bytes on their way, of which out_sent have been sent.
  // While a send is under way (sending > 0) out[out_sent, sending) is the write offered to the
  // link and the bytes behind it are read ahead; otherwise they are being gathered.
  std::array<char, SERIAL_BUF_SIZE + READ_AHEAD_SIZE> out{};
  int out_len = 0;
  int out_sent = 0;
  int sending = 0;
  bool send_held = false;  // the link cut the send short: the bytes behind it have waited too
  countdown send_retry;    // the next try of a held send
  int32_t send_retry_usec = SEND_RETRY_FIRST_USEC;
  // Peer to DTE.
  std::array<char, PEER_READ_MAX> in{};
  int in_len = 0;               // peer bytes held for the serial port
  int in_written = 0;           // of those, bytes already written to the serial port
  int in_room = PEER_READ_MIN;  // what the port took at once lately: the next receive's size
  // The dead-peer watch (keepalive on): bytes that wait for a peer that has acknowledged
  // nothing for the keepalive's span, and has left a segment unanswered for a probe interval,
  // end the call (check_peer_progress in data_mode.h).
  uint32_t dead_peer_span_ms = 0;  // 0: not watched
  uint32_t probe_interval_ms = 0;
  bool bytes_waiting = false;  // bytes wait for the peer since waiting_timer started
  bool waited_span = false;    // and have waited the whole span
  countdown waiting_timer;
  int progress_second = -1;  // monotonic second of the last look at the connection's progress
  // The link's output has been full (LINK_FULL) since full_timer started: a peer that reads
  // nothing holds the call only for the keepalive's span, or S10's without keepalive.
  bool output_full = false;
  bool full_timed = false;  // full_timer runs
  countdown full_timer;
  // Monotonic ms of the first segment seen sent after the peer's last acknowledgement, -1: none.
  int64_t unanswered_since_ms = -1;
};

// Starts the dead-peer watch of a new connection; a span of 0 watches nothing. A segment counts
// as unanswered after the keepalive's probe interval, or a quarter of the span when that is
// shorter: the socket resends at most half the span apart (enable_keepalive), and a segment
// must have time to age between two resends.
inline void watch_dead_peer(data_path& d, uint32_t span_ms, uint32_t probe_interval_ms) {
  d.dead_peer_span_ms = span_ms;
  d.probe_interval_ms = std::min(probe_interval_ms, span_ms / 4);
  d.bytes_waiting = false;
  d.waited_span = false;
  countdown_stop(d.waiting_timer);
  d.progress_second = -1;
  d.output_full = false;
  d.full_timed = false;
  countdown_stop(d.full_timer);
  d.unanswered_since_ms = -1;
}

// True while serial bytes are being sent to the peer: the serial port is read into the
// read-ahead meanwhile.
inline bool serial_send_pending(const data_path& d) { return d.sending != 0; }

// How many bytes the next serial read may bring: behind a send, up to the end of the read-ahead;
// otherwise up to one write's worth of gathered bytes.
inline int serial_read_room(const data_path& d) {
  int end = serial_send_pending(d) ? static_cast<int>(d.out.size()) : SEND_MAX;
  return end > d.out_len ? end - d.out_len : 0;
}

// True when the serial port may be read: always, except while the read-ahead is full.
inline bool serial_readable(const data_path& d) { return serial_read_room(d) > 0; }

// Drops every byte held in either direction.
inline void drop_held_bytes(data_path& d) {
  d.out_len = 0;
  d.out_sent = 0;
  d.sending = 0;
  d.send_held = false;
  countdown_stop(d.send_retry);
  d.in_len = 0;
  d.in_written = 0;
}
