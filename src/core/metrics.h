// Counters for a metrics collector: calls by direction and result, connected seconds, bytes each
// way, callers turned away by reason, DTR drops, escapes, and the state of the line. With
// MOD_ORVANE_METRICS=DIR they are written to DIR/orvaned.prom in the text format of Prometheus
// (which node_exporter's textfile collector reads), replaced atomically every METRICS_PERIOD_SEC
// and at the end of each call (at most once a second). There is no server socket.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/call_record.h"
#include "platform/countdown.h"

constexpr int METRICS_PERIOD_SEC = 10;

// The call states (modem_state.h) as the metrics and the status name them.
inline constexpr std::string_view call_state_names[] = {"idle", "dialing", "ringing", "connected"};

// Why a caller was turned away before it rang, from the outcome its log line gives.
enum refusal_reason : int {
  REFUSAL_NOT_ALLOWED = 0,          // "not allowed": not on MOD_ORVANE_ALLOW
  REFUSAL_REJECTED = 1,             // "rejected": another call exists, or no room for it
  REFUSAL_TOO_MANY_HANDSHAKES = 2,  // "refused: too many handshakes"
  REFUSAL_HANDSHAKE_TIMEOUT = 3,    // "refused: timeout"
  REFUSAL_NAME_NOT_ALLOWED = 4,     // "refused: name not allowed (...)": not on TLS_PEERS
  REFUSAL_HANDSHAKE_FAILED = 5,     // any other "refused: ...": the TLS handshake failed
};
constexpr int REFUSAL_REASONS = 6;

struct call_metrics {
  std::array<std::array<uint64_t, CALL_RESULTS>, 2> calls{};  // [incoming][result], ended calls
  uint64_t connected_seconds = 0;                             // billsec of ended calls
  uint64_t dte_to_net = 0;                                    // bytes of ended calls
  uint64_t net_to_dte = 0;
  std::array<uint64_t, REFUSAL_REASONS> refused{};
  uint64_t dtr_drops = 0;         // DTR drops acted on (&D 1 to 3)
  bool dtr_drop_counted = false;  // the drop going on has been counted
  uint64_t escapes = 0;           // escapes to command mode
  int dte_input = -1;             // monotonic second the DTE last sent a byte; -1: none since start
  int written = -1;               // monotonic second of the last write of the file; -1: none yet
  bool due = false;               // a call ended: write again (at most once a second)
  bool told = false;              // a failure to write has been logged
};

// A caller was turned away with `outcome` (turn_away's words).
void metrics_refusal(call_metrics& m, const char* outcome);

// The DTR watch acts on a drop: counted once until DTR is seen up again (dtr_forget clears
// dtr_drop_counted). Returns true, for the watch to pass on.
bool metrics_dtr_drop(call_metrics& m);

// A call's record is complete: its counts join the totals and the file is due.
void metrics_call_ended(call_metrics& m, const call_record& r);

// The file's content at `now`; `dte_dtr` is the DTE's DTR (1 up, 0 down, -1 not known).
std::string metrics_text(const modem_state& ms, const loop_state& ls, const clock_reading& now,
                         int dte_dtr);

// The DTE's DTR as the port's lines show it: 1 up, 0 down, -1 when they cannot be read (a pty).
int dte_dtr_state(const modem_state& ms);

// Replaces the file when MOD_ORVANE_METRICS is set. A directory that cannot be written is
// logged once (level 4) until a write succeeds again.
void metrics_write(modem_state& ms, loop_state& ls, const clock_reading& now);

// Time check: metrics_write when a write is due (every METRICS_PERIOD_SEC, and after a call's
// end unless a write was made in the same second).
void metrics_time_check(modem_state& ms, loop_state& ls, const clock_reading& now);
