#include "platform/log_limit.h"

bool log_limit_admit(log_limit& limit, int now) {
  if (limit.running && now - limit.period_start >= LOG_LIMIT_PERIOD_SEC) limit = log_limit{};
  if (!limit.running) {
    limit.running = true;
    limit.period_start = now;
  }
  if (limit.admitted < LOG_LIMIT_MESSAGES) {
    ++limit.admitted;
    return true;
  }
  ++limit.suppressed;
  return false;
}

uint32_t log_limit_expire(log_limit& limit, int now) {
  if (!limit.running || now - limit.period_start < LOG_LIMIT_PERIOD_SEC) return 0;
  uint32_t counted = limit.suppressed;
  limit = log_limit{};
  return counted;
}
