// The S-register table (register number -> value and on-change routine), the S command and the
// durations derived from the timing registers.
#pragma once

#include <cstdint>

#include "modem/modem_state.h"

// The units of the timing registers in recompute_timers' durations.
constexpr int32_t HUP_DELAY_UNIT_SEC = 10;       // S10, in seconds
constexpr int32_t SPLIT_UNIT_USEC = 1000;        // S11, in microseconds
constexpr int32_t ESC_DELAY_UNIT_USEC = 20000;   // S12, in microseconds
constexpr int32_t DTR_IGNORE_UNIT_USEC = 10000;  // S25, in microseconds

// The largest values of S10, S11, S12 and S25 whose durations fit the signed 32-bit arithmetic
// of recompute_timers; larger ones wrap.
constexpr uint32_t HUP_DELAY_MAX = INT32_MAX / HUP_DELAY_UNIT_SEC;
constexpr uint32_t SPLIT_MAX = INT32_MAX / SPLIT_UNIT_USEC;
constexpr uint32_t ESC_DELAY_MAX = INT32_MAX / ESC_DELAY_UNIT_USEC;
constexpr uint32_t DTR_IGNORE_MAX = INT32_MAX / DTR_IGNORE_UNIT_USEC;

// Wires the table to ms.settings and ms.ring_count: S0..S7, S10, S11, S12, S25 present, with
// recompute_timers as on-change routine of S10, S11, S12 and S25.
// REQUIRES: ms is not moved afterwards (the slots point into it).
void sreg_table_fill(modem_state& ms);

// Derives inactivity_timeout_sec, split_timeout_usec, escape_guard_sec/usec and
// dtr_ignore_sec/usec from S10, S11, S12 and S25 (signed 32-bit arithmetic).
void recompute_timers(modem_state& ms);

// The S command handler (at_handler contract): "n=v" writes, "n?" reads.
int cmd_sreg(modem_state& ms, char* text, bool check_only);
