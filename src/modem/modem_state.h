// The daemon's one runtime record, with the enums of call states and pending actions. The
// command layer (at/) and the loop (core/) both work on it; it includes neither of them.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/allow_list.h"
#include "config/dial_target.h"
#include "config/settings.h"
#include "config/subst_script.h"
#include "modem/dte_output.h"
#include "modem/paths.h"
#include "platform/net_address.h"
#include "platform/tls.h"
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

constexpr int CMD_LINE_MAX = 79;

// Settings read and checked, to be taken whole.
struct staged_settings {
  modem_settings settings;
  allow_list allowed;
  std::vector<std::string> tls_peers;
  tls_context tls;
};

// What the cellular-modem commands set (+CREG=, +CGREG=, +CMEE=, +CMGF=, +CRC=, +CBST=) and
// their read forms report. Not saved: start-up, ATZ and AT&F set these values.
struct gsm_parameters {
  uint32_t creg = 0;                      // +CREG: 0 to 2
  uint32_t cgreg = 0;                     // +CGREG: 0 to 2
  uint32_t cmee = 0;                      // +CMEE: 0 to 2
  uint32_t cmgf = 0;                      // +CMGF: 0 or 1
  uint32_t crc = 0;                       // +CRC: 0 or 1
  std::array<uint32_t, 3> cbst{7, 0, 1};  // +CBST: speed, name, connection element
};

// Lives once for the life of the process; every routine takes it by reference.
struct modem_state {
  int online = 0;  // 1: data mode (implies CALL_CONNECTED), 0: command mode
  ::call_state call_state = CALL_IDLE;
  // The far end: the address dialled or the caller's, with its port; for a dial to a host name
  // empty until an address has connected. No address and no name: no call.
  net_address peer_addr;
  // A dial to a host name: the name as the dial rule gives it (NUL-terminated, empty = none).
  std::array<char, DIAL_NAME_MAX + 1> peer_name{};
  uint16_t peer_port = 0;  // the port dialled, fixed when ATD takes the target
  std::string dialled;     // the number ATD took, normalised (for the call's record)
  bool peer_tls = false;   // the dialled call is encrypted (set by ATD from its target)
  // What the far end is: set by ATD from its target, and for a caller by the port it called.
  ::peer_kind peer_kind = PEER_DAEMON;
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
  volatile std::sig_atomic_t json_request = 0;    // 1: write the status for programs (SIGUSR2)
  modem_settings settings;
  gsm_parameters gsm;
  allow_list allowed;                  // parsed from settings.allow at start-up and by ATZ
  std::vector<std::string> tls_peers;  // parsed from settings.tls_peers, as `allowed` is
  subst_array subst_table{};
  int subst_count = 0;
  // Line editor.
  std::array<char, CMD_LINE_MAX + 1> cmd_line{};  // NUL-terminated
  int cmd_len = 0;
  int cmd_cursor = 0;
  int esc_state = 0;                              // the editor's esc_state (at/line_editor.h)
  std::array<char, CMD_LINE_MAX + 1> last_cmd{};  // last line that began with AT, normalised
  // Descriptors. A call's socket is held by its link in the loop's state, from the connect or
  // the accept on.
  unique_fd serial_fd;
  dte_output dte_out;  // output for the DTE that the line has not taken yet
  // The modem lines of the port: what has been said of a port whose lines cannot be set (a pty)
  // or read, so that it is said once.
  bool lines_set_told = false;
  bool lines_read_told = false;
  unique_fd listen_sock;
  unique_fd tls_listen_sock;  // encrypted calls only (MOD_ORVANE_TLS_PORT); -1 when none
  // Callers that are not daemons (MOD_ORVANE_RAW_PORT, MOD_ORVANE_TELNET_PORT); -1 when none.
  unique_fd raw_listen_sock;
  unique_fd telnet_listen_sock;
  // Encrypted calls: this modem's certificates (loaded at start-up and by ATZ; empty without
  // them), and for a connected encrypted call its TLS version, cipher and the peer certificate's
  // name (empty on a plain call).
  tls_context tls;
  std::string call_encryption;
  // ATZ's settings file, read and checked in the first pass of its command line and taken in
  // the second; empty otherwise.
  std::unique_ptr<staged_settings> staged_reset;
  daemon_paths paths;
  std::string device_path;  // the serial device chosen at start-up
  unique_fd pid_file;       // the pid file this process wrote, locked while open; -1 when none
};
