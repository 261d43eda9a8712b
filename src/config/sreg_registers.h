// The S-registers: which exist, the settings field each lives in, its unit, the largest value
// that takes effect as set, whether it is compared with received bytes and what must be
// recomputed when it changes. The settings check and the S command both read this one table.
#pragma once

#include <cstdint>
#include <iterator>
#include <string_view>

#include "config/settings.h"

// Register numbers run from 0 to SREG_COUNT - 1; those not in sreg_registers are absent.
constexpr int SREG_COUNT = 26;

// The units of the timing registers in the durations the timers hold.
constexpr int32_t HUP_DELAY_UNIT_SEC = 10;       // S10, in seconds
constexpr int32_t SPLIT_UNIT_USEC = 1000;        // S11, in microseconds
constexpr int32_t ESC_DELAY_UNIT_USEC = 20000;   // S12, in microseconds
constexpr int32_t DTR_IGNORE_UNIT_USEC = 10000;  // S25, in microseconds

// The largest values of S10 and S11 whose durations fit the signed 32-bit timer fields; a
// larger one saturates at INT32_MAX seconds or microseconds. S12 and S25 are split into seconds
// and microseconds in 64 bits and take effect whole.
constexpr uint32_t HUP_DELAY_MAX = INT32_MAX / HUP_DELAY_UNIT_SEC;
constexpr uint32_t SPLIT_MAX = INT32_MAX / SPLIT_UNIT_USEC;
// The largest S6 and S7 (seconds) that take effect as set; larger ones saturate.
constexpr uint32_t SECONDS_MAX = INT32_MAX;

// What has to follow a write to a register.
enum sreg_effect : int {
  SREG_EFFECT_NONE = 0,
  SREG_EFFECT_TIMERS = 1,  // the durations derived from S10, S11, S12 and S25
};

struct sreg_register {
  int number = 0;
  // nullptr only for S1, the ring count, which lives in the runtime record, not the settings.
  uint32_t modem_settings::*field = nullptr;
  std::string_view unit = "";
  // A larger value takes effect as this one would (the register keeps what was set), and the
  // settings check says so. UINT32_MAX: nothing worth a word.
  uint32_t limit = UINT32_MAX;
  // Compared with received bytes, so a value above 255 never matches; byte_effect says what
  // that means for the operator.
  bool holds_byte = false;
  std::string_view byte_effect = "";
  sreg_effect on_change = SREG_EFFECT_NONE;
};

// In register order. S11 saturates too (SPLIT_MAX), but from 1000 on every value forwards
// after about a second (the loop's longest wait), so a larger one is not worth a warning.
inline constexpr sreg_register sreg_registers[] = {
    {.number = 0, .field = &modem_settings::sreg_auto_answer, .unit = "rings"},
    {.number = 1, .unit = "rings"},
    {.number = 2,
     .field = &modem_settings::sreg_esc,
     .unit = "character",
     .holds_byte = true,
     .byte_effect = "the escape sequence can never be typed"},
    {.number = 3,
     .field = &modem_settings::sreg_cr,
     .unit = "character",
     .holds_byte = true,
     .byte_effect = "no received byte ends a command line"},
    {.number = 4, .field = &modem_settings::sreg_lf, .unit = "character"},
    {.number = 5,
     .field = &modem_settings::sreg_bs,
     .unit = "character",
     .holds_byte = true,
     .byte_effect = "no received byte deletes a character"},
    {.number = 6, .field = &modem_settings::sreg_ring_int, .unit = "s", .limit = SECONDS_MAX},
    {.number = 7, .field = &modem_settings::sreg_conn_tout, .unit = "s", .limit = SECONDS_MAX},
    {.number = 10,
     .field = &modem_settings::sreg_hup_delay,
     .unit = "10 s",
     .limit = HUP_DELAY_MAX,
     .on_change = SREG_EFFECT_TIMERS},
    {.number = 11,
     .field = &modem_settings::sreg_split,
     .unit = "ms",
     .on_change = SREG_EFFECT_TIMERS},
    {.number = 12,
     .field = &modem_settings::sreg_esc_delay,
     .unit = "20 ms",
     .on_change = SREG_EFFECT_TIMERS},
    {.number = 25,
     .field = &modem_settings::sreg_dtr_ignore,
     .unit = "10 ms",
     .on_change = SREG_EFFECT_TIMERS},
};

// The register numbered `n`, or nullptr when it is absent or out of range.
constexpr const sreg_register* sreg_find(int64_t n) {
  for (const sreg_register& r : sreg_registers) {
    if (r.number == n) return &r;
  }
  return nullptr;
}

// The rules the table keeps, checked when it is compiled.
constexpr bool sreg_registers_well_formed() {
  int previous = -1;
  for (const sreg_register& r : sreg_registers) {
    if (r.number <= previous || r.number >= SREG_COUNT) return false;  // ascending, in range
    if ((r.field == nullptr) != (r.number == 1)) return false;         // S1 alone outside
    if (r.holds_byte == r.byte_effect.empty()) return false;           // a byte says its effect
    if (r.unit.empty()) return false;
    previous = r.number;
  }
  return true;
}

static_assert(sreg_registers_well_formed(),
              "S-registers: ascending numbers below SREG_COUNT, a field for all but S1, an "
              "effect for every byte register, a unit for each");
static_assert(std::size(sreg_registers) == 12);
