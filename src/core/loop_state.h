// The event loop's transient state: the bytes held between the serial port and the call's
// connection, the call's countdowns and the flags of the call in progress.
#pragma once

#include <array>

#include "at/result_codes.h"
#include "platform/countdown.h"
#include "platform/log_limit.h"

constexpr int SERIAL_BUF_SIZE = 1024;
constexpr int TCP_BUF_SIZE = 1024;
// Serial bytes read while a chunk waits for the peer: enough for an escape typed after a
// stall to be seen, bounded so that a DTE that keeps sending is held back by the port.
constexpr int READ_AHEAD_SIZE = 16384;

// Alive from the first pass to shutdown.
struct loop_state {
  std::array<char, SERIAL_BUF_SIZE> serial_buf{};
  int serial_len = 0;   // bytes held in serial_buf
  int serial_sent = 0;  // of those, bytes already sent to the peer (a send cut short)
  std::array<char, TCP_BUF_SIZE> tcp_buf{};
  int tcp_len = 0;         // peer bytes held in tcp_buf for the serial port
  int tcp_written = 0;     // of those, bytes already written to the serial port
  int serial_sending = 0;  // 1 while serial_buf is being sent (the port is read into ahead_buf)
  std::array<char, READ_AHEAD_SIZE> ahead_buf{};  // serial bytes read behind the chunk being sent
  int ahead_len = 0;
  int connect_code = RESULT_ERROR;
  int dial_connected = 0;
  int answer_requested = 0;
  int next_ring_time = 0;  // monotonic seconds
  int escape_count = 0;
  int dtr_drop_timing = 0;
  countdown dial_timer;
  countdown inactivity_timer;
  countdown split_timer;
  countdown guard_timer;
  countdown dtr_timer;
  log_limit turned_away_log;  // messages of refused and rejected connections
};

// True while serial bytes are being sent to the peer: the serial port is read into the
// read-ahead meanwhile.
inline bool serial_send_pending(const loop_state& ls) { return ls.serial_sending != 0; }

// True when the serial port may be read: always, except while the read-ahead is full.
inline bool serial_readable(const loop_state& ls) {
  return !serial_send_pending(ls) || ls.ahead_len < READ_AHEAD_SIZE;
}

// Drops every byte held in either direction.
inline void drop_held_bytes(loop_state& ls) {
  ls.ahead_len = 0;
  ls.serial_len = 0;
  ls.serial_sent = 0;
  ls.serial_sending = 0;
  ls.tcp_len = 0;
  ls.tcp_written = 0;
}
