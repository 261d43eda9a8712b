// The daemon's one runtime record and the event loop's transient state, with the enums of call
// states, pending actions and editor escape states.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>

#include "at/result_codes.h"
#include "at/sreg_table.h"
#include "config/settings.h"
#include "config/subst_script.h"
#include "core/paths.h"
#include "platform/countdown.h"
#include "platform/unique_fd.h"

enum call_state : int { CALL_IDLE = 0, CALL_DIALING = 1, CALL_RINGING = 2, CALL_CONNECTED = 3 };

enum pending_action : int {
  ACTION_NONE = 0,
  ACTION_ANSWER = 1,
  ACTION_DIAL = 2,
  ACTION_HANGUP = 3,
  ACTION_ONLINE = 4,
  ACTION_RESET = 5,
};

enum esc_state : int { ESC_NONE = 0, ESC_SEEN = 1, ESC_CSI = 2 };

constexpr int CMD_LINE_MAX = 79;
constexpr int SERIAL_BUF_SIZE = 1024;
constexpr int TCP_BUF_SIZE = 1024;
// Serial bytes read while a chunk waits for the peer: enough for an escape typed after a
// stall to be seen, bounded so that a DTE that keeps sending is held back by the port.
constexpr int READ_AHEAD_SIZE = 16384;
constexpr unsigned char ANSWER_BYTE = 'X';

// Lives once for the life of the process; every routine takes it by reference. Not to be moved
// once sreg_table_fill has run (the register slots point into it).
struct modem_state {
  int online = 0;  // 1: data mode (implies CALL_CONNECTED), 0: command mode
  ::call_state call_state = CALL_IDLE;
  uint32_t peer_addr = 0;   // IPv4, network byte order, 0 = none
  uint32_t ring_count = 0;  // S1
  // Durations derived by recompute_timers from S10, S11, S12 and S25.
  int32_t inactivity_timeout_sec = 0;
  int32_t split_timeout_usec = 0;
  int32_t escape_guard_sec = 0;
  int32_t escape_guard_usec = 0;
  int32_t dtr_ignore_sec = 0;
  int32_t dtr_ignore_usec = 0;
  ::pending_action pending_action = ACTION_NONE;
  volatile std::sig_atomic_t term_signal = 0;     // first termination signal, 0 = none
  volatile std::sig_atomic_t status_request = 0;  // 1: write the status files
  modem_settings settings;
  subst_array subst_table{};
  int subst_count = 0;
  std::array<sreg_slot, SREG_COUNT> sreg_table{};
  // Line editor.
  std::array<char, CMD_LINE_MAX + 1> cmd_line{};  // NUL-terminated
  int cmd_len = 0;
  int cmd_cursor = 0;
  int esc_state = ESC_NONE;
  std::array<char, CMD_LINE_MAX + 1> last_cmd{};  // last line that began with AT, normalised
  // Descriptors; at most one of the three call sockets is in use.
  unique_fd serial_fd;
  unique_fd listen_sock;
  unique_fd data_sock;
  unique_fd dial_sock;
  unique_fd ring_sock;
  daemon_paths paths;
  std::string device_path;        // the serial device chosen at start-up
  bool pid_file_written = false;  // this process wrote the pid file
};

// The event loop's transient state, alive from the first pass to shutdown.
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
};
