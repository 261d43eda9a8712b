// The event loop's transient state: the call's link (its connection and the bytes held on their
// way), the call's countdowns and the flags of the call in progress.
#pragma once

#include <array>

#include "at/result_codes.h"
#include "core/call_link.h"
#include "core/dialer.h"
#include "platform/countdown.h"
#include "platform/log_limit.h"
#include "platform/net_address.h"
#include "platform/tls.h"
#include "platform/unique_fd.h"

// Encrypted callers whose handshake runs: at most HANDSHAKES_MAX at once, each for at most
// HANDSHAKE_LIMIT_SEC, so that callers who stall keep no one else out for long.
constexpr int HANDSHAKES_MAX = 4;
constexpr int HANDSHAKE_LIMIT_SEC = 10;

// One encrypted caller before its handshake has completed; free while `sock` is empty.
struct handshake_slot {
  unique_fd sock;
  tls_session tls;
  net_address addr;
  countdown limit;
};

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
  std::array<handshake_slot, HANDSHAKES_MAX> handshakes;
  // The listening socket is not watched while this runs (accept found no descriptor free).
  bool listen_paused = false;
  countdown listen_pause;
  name_dial dialer;  // a dial to a host name: its lookup and connection attempts
};
