// The S command on the register table of config/sreg_registers.h, and the durations derived from
// the timing registers.
#pragma once

#include <cstdint>

#include "config/sreg_registers.h"
#include "modem/modem_state.h"

// The value of register `n` in `ms`: a settings field, or the ring count for S1. nullptr when
// the register is absent or `n` out of range.
uint32_t* sreg_value(modem_state& ms, int64_t n);
const uint32_t* sreg_value(const modem_state& ms, int64_t n);

// Derives inactivity_timeout_sec, split_timeout_usec, escape_guard_sec/usec and
// dtr_ignore_sec/usec from S10, S11, S12 and S25. The durations are kept in signed 32-bit
// fields: one that does not fit saturates at the largest they hold (INT32_MAX seconds or
// microseconds), so a very long time never turns into a negative or an immediate one.
void recompute_timers(modem_state& ms);

// A register in seconds as a duration the timers can hold: the value, or INT32_MAX above it.
int32_t saturated_seconds(uint32_t value);

// The S command handler (at_handler contract): "n=v" writes, "n?" reads.
int cmd_sreg(modem_state& ms, char* text, bool check_only);
