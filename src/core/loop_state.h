// The event loop's transient state: the call's link (its connection and the bytes held on their
// way), the call's countdowns and the flags of the call in progress.
#pragma once

#include "at/result_codes.h"
#include "core/call_link.h"
#include "core/dialer.h"
#include "platform/countdown.h"
#include "platform/log_limit.h"

// Alive from the first pass to shutdown.
struct loop_state {
  call_link link;  // the call's descriptor and the bytes held on their way through it
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
  // The listening socket is not watched while this runs (accept found no descriptor free).
  bool listen_paused = false;
  countdown listen_pause;
  name_dial dialer;  // a dial to a host name: its lookup and connection attempts
};
