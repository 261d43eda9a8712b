// The bytes of a call on their way between the serial port and the call's link, in both
// directions, and the dead-peer watch of the bytes that wait for the peer. In command mode the
// serial side uses `out` to gather a read for the line editor.
#pragma once

#include <array>
#include <cstdint>

#include "platform/countdown.h"

constexpr int SERIAL_BUF_SIZE = 1024;
constexpr int TCP_BUF_SIZE = 1024;
// Serial bytes read while a chunk waits for the peer: enough for an escape typed after a
// stall to be seen, bounded so that a DTE that keeps sending is held back by the port.
constexpr int READ_AHEAD_SIZE = 16384;

// Alive from the first pass to shutdown.
struct data_path {
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
  // The link's output has been full (LINK_FULL) since full_timer started: a peer that reads
  // nothing holds the call only for the keepalive's span, or S10's without keepalive.
  bool output_full = false;
  bool full_timed = false;  // full_timer runs
  countdown full_timer;
};

// Starts the dead-peer watch of a new connection; a span of 0 watches nothing.
inline void watch_dead_peer(data_path& d, uint32_t span_ms) {
  d.dead_peer_span_ms = span_ms;
  d.bytes_waiting = false;
  d.waited_span = false;
  countdown_stop(d.waiting_timer);
  d.progress_second = -1;
  d.output_full = false;
  d.full_timed = false;
  countdown_stop(d.full_timer);
}

// True while serial bytes are being sent to the peer: the serial port is read into the
// read-ahead meanwhile.
inline bool serial_send_pending(const data_path& d) { return d.sending != 0; }

// True when the serial port may be read: always, except while the read-ahead is full.
inline bool serial_readable(const data_path& d) {
  return !serial_send_pending(d) || d.ahead_len < READ_AHEAD_SIZE;
}

// Drops every byte held in either direction.
inline void drop_held_bytes(data_path& d) {
  d.ahead_len = 0;
  d.out_len = 0;
  d.out_sent = 0;
  d.sending = 0;
  d.in_len = 0;
  d.in_written = 0;
}
