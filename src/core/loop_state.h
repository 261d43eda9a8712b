// The event loop's transient state: the call's link and the bytes on their way through it, the
// dial under way, the callers before they ring, the call's countdowns and the flags of
// the call in progress.
#pragma once

#include <sys/time.h>

#include <array>
#include <cstdint>

#include "at/result_codes.h"
#include "core/call_link.h"
#include "core/call_record.h"
#include "core/data_path.h"
#include "core/dialer.h"
#include "core/metrics.h"
#include "platform/countdown.h"
#include "platform/log_limit.h"

// Callers before they ring: at most HANDSHAKES_MAX at once, an encrypted one for at most
// HANDSHAKE_LIMIT_SEC, so that callers who stall keep no one else out for long.
constexpr int HANDSHAKES_MAX = 4;
constexpr int HANDSHAKE_LIMIT_SEC = 10;

// What a caller in a handshake slot has sent: a newcomer that finds every slot taken takes the
// place of the one that has made no progress.
struct handshake_progress {
  uint64_t received = 0;  // bytes its session has read
  timeval heard{};        // wall clock of its accept, then of the pass that read more
};

// Alive from the first pass to shutdown.
struct loop_state {
  // The call's link: a dial's connection once it is up, a caller that rings, the call. Closed
  // while there is no call (and while a dial's attempts are still under way in `dial`).
  call_link link;
  data_path data;  // the call's bytes on their way, and the serial read of command mode
  dialer dial;     // the dial under way: its lookup and connection attempts
  // Callers before they ring (closed when free): encrypted ones during their handshake, plain
  // ones while their first bytes are awaited.
  std::array<call_link, HANDSHAKES_MAX> handshakes;
  std::array<handshake_progress, HANDSHAKES_MAX> progress;  // of each slot's caller
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
