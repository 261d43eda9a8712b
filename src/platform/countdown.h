// One-shot countdown timers checked against one wall-clock reading per loop pass, and the two
// clocks the loop reads once per pass.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>

// Disarmed when both remaining fields are 0. remaining_usec is not normalised: it may hold a
// million or more when a countdown is armed with a long microsecond-only duration.
struct countdown {
  int32_t remaining_sec = 0;
  int32_t remaining_usec = 0;
  timeval stamp{};  // when the remaining fields were last set or updated
};

// One reading of both clocks, taken once per loop pass and handed to every check of the pass.
struct clock_reading {
  timeval wall{};     // gettimeofday
  int monotonic = 0;  // whole seconds of CLOCK_MONOTONIC, -1 when the clock cannot be read
};

// Reads both clocks.
clock_reading read_clocks();

// Arms `cd` with the given duration, stamped with `now`. A zero duration leaves it disarmed.
void countdown_start_at(countdown& cd, int32_t sec, int32_t usec, const timeval& now);

// Returns 1 when `cd` has run out (it is then disarmed) or is disarmed, 0 while it still runs
// (the elapsed time is then consumed and the stamp moved to `now`, the pass's reading).
int countdown_expired(const timeval* now, countdown& cd);

// Disarms `cd`.
void countdown_stop(countdown& cd);

// Lowers `timeout` to the remaining time of `cd` when it is armed and shorter. Reads no clock.
void timeout_min(timeval& timeout, const countdown& cd);

// The calendar time of `wall` in the local time zone (localtime_r). False when it cannot be
// converted.
bool local_calendar_time(const timeval& wall, tm& out);

// Whole seconds of CLOCK_MONOTONIC, or -1 when the clock cannot be read.
int monotonic_seconds();
