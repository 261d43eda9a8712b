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

// The largest values of S10 and S11 whose durations fit the signed 32-bit fields of
// recompute_timers; a larger one saturates at INT32_MAX seconds or microseconds. S12 and S25
// are split into seconds and microseconds in 64 bits and take effect whole.
constexpr uint32_t HUP_DELAY_MAX = INT32_MAX / HUP_DELAY_UNIT_SEC;
constexpr uint32_t SPLIT_MAX = INT32_MAX / SPLIT_UNIT_USEC;
// The largest S6 and S7 (seconds) that take effect as set; larger ones saturate.
constexpr uint32_t SECONDS_MAX = INT32_MAX;

// Wires the table to ms.settings and ms.ring_count: S0..S7, S10, S11, S12, S25 present, with
// recompute_timers as on-change routine of S10, S11, S12 and S25.
// REQUIRES: ms is not moved afterwards (the slots point into it).
void sreg_table_fill(modem_state& ms);

// Derives inactivity_timeout_sec, split_timeout_usec, escape_guard_sec/usec and
// dtr_ignore_sec/usec from S10, S11, S12 and S25. The durations are kept in signed 32-bit
// fields: one that does not fit saturates at the largest they hold (INT32_MAX seconds or
// microseconds), so a very long time never turns into a negative or an immediate one.
void recompute_timers(modem_state& ms);

// A register in seconds as a duration the timers can hold: the value, or INT32_MAX above it.
int32_t saturated_seconds(uint32_t value);

// A timing register whose duration saturates: values above `limit` take effect as `limit`
// would (the register itself keeps the value that was set).
struct sreg_limit {
  int number = 0;  // S-register number
  uint32_t modem_settings::*field = nullptr;
  uint32_t limit = 0;
};

// S6 and S7 (seconds) and S10 (10 s units). S12 and S25 take effect whole; S11 saturates too,
// but from 1000 on every value forwards after about a second (the loop's longest wait).
inline constexpr sreg_limit sreg_limits[] = {
    {.number = 6, .field = &modem_settings::sreg_ring_int, .limit = SECONDS_MAX},
    {.number = 7, .field = &modem_settings::sreg_conn_tout, .limit = SECONDS_MAX},
    {.number = 10, .field = &modem_settings::sreg_hup_delay, .limit = HUP_DELAY_MAX},
};

// Logs at level 4 every register of `s` above its limit in sreg_limits.
void warn_sreg_limits(const modem_settings& s);

// The S command handler (at_handler contract): "n=v" writes, "n?" reads.
int cmd_sreg(modem_state& ms, char* text, bool check_only);
