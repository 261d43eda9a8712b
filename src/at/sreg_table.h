// The S-register table (register number -> value and on-change routine), the S command and the
// durations derived from the timing registers.
#pragma once

#include <cstdint>

struct modem_state;

using sreg_on_change = void (*)(modem_state& ms);

struct sreg_slot {
  uint32_t* value = nullptr;  // nullptr: register absent
  sreg_on_change on_change = nullptr;
};

constexpr int SREG_COUNT = 26;

// Wires the table to ms.settings and ms.ring_count: S0..S7, S10, S11, S12, S25 present, with
// recompute_timers as on-change routine of S10, S11, S12 and S25.
// REQUIRES: ms is not moved afterwards (the slots point into it).
void sreg_table_fill(modem_state& ms);

// Derives inactivity_timeout_sec, split_timeout_usec, escape_guard_sec/usec and
// dtr_ignore_sec/usec from S10, S11, S12 and S25 (signed 32-bit arithmetic).
void recompute_timers(modem_state& ms);

// The S command handler (at_handler contract): "n=v" writes, "n?" reads.
int cmd_sreg(modem_state& ms, char* text, bool check_only);
