// The event loop's transient state: the call's link and the bytes on their way through it, the
// dial under way, the encrypted callers before they ring, the call's countdowns and the flags of
// the call in progress.
#pragma once

#include <array>

#include "at/result_codes.h"
#include "core/call_link.h"
#include "core/call_record.h"
#include "core/data_path.h"
#include "core/dialer.h"
#include "core/metrics.h"
#include "platform/countdown.h"
#include "platform/log_limit.h"

// Encrypted callers whose handshake runs: at most HANDSHAKES_MAX at once, each for at most
// HANDSHAKE_LIMIT_SEC, so that callers who stall keep no one else out for long.
constexpr int HANDSHAKES_MAX = 4;
constexpr int HANDSHAKE_LIMIT_SEC = 10;

// Alive from the first pass to shutdown.
struct loop_state {
  // The call's link: a dial's connection once it is up, a caller that rings, the call. Closed
  // while there is no call (and while a dial's attempts are still under way in `dial`).
  call_link link;
  data_path data;  // the call's bytes on their way, and the serial read of command mode
  dialer dial;     // the dial under way: its lookup and connection attempts
  // Encrypted callers whose handshake runs; closed when free.
  std::array<call_link, HANDSHAKES_MAX> handshakes;
  int connect_code = RESULT_ERROR;
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
  call_records records;       // the call under way and the records of this run
  call_metrics metrics;       // the counters of orvaned.prom
  // The listening socket is not watched while this runs (accept found no descriptor free).
  bool listen_paused = false;
  countdown listen_pause;
};
