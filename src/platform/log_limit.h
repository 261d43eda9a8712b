// A limit on a family of log messages that outsiders can provoke at will (connections that are
// refused or rejected): the first few of a period are logged as they come, the rest are only
// counted and reported together when the period is over.
#pragma once

#include <cstdint>

constexpr int LOG_LIMIT_PERIOD_SEC = 10;
constexpr uint32_t LOG_LIMIT_MESSAGES = 10;

// A period starts with the first message after the previous period ended.
struct log_limit {
  bool running = false;
  int period_start = 0;     // monotonic seconds
  uint32_t admitted = 0;    // messages logged in this period
  uint32_t suppressed = 0;  // messages only counted in this period
};

// One message at monotonic second `now`: true when it is to be logged, false when it is
// counted instead. A period that is over ends first, its count dropped: call log_limit_expire
// before, and from the loop's time checks, to report it.
bool log_limit_admit(log_limit& limit, int now);

// Ends the period when it is over at `now` and returns how many messages it only counted
// (0 when it is not over yet or counted none).
uint32_t log_limit_expire(log_limit& limit, int now);
