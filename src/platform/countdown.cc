#include "platform/countdown.h"

#include "platform/system_calls.h"

namespace {

constexpr int32_t USEC_PER_SEC = 1000000;

}  // namespace

void countdown_stop(countdown& cd) {
  cd.remaining_sec = 0;
  cd.remaining_usec = 0;
}

clock_reading read_clocks() {
  return {.wall = sys().wall_clock(), .monotonic = monotonic_seconds()};
}

void countdown_start_at(countdown& cd, int32_t sec, int32_t usec, const timeval& now) {
  cd.remaining_sec = sec;
  cd.remaining_usec = usec;
  cd.stamp = now;
}

int countdown_expired(const timeval* now, countdown& cd) {
  if (cd.remaining_sec == 0 && cd.remaining_usec == 0) return 1;
  int32_t now_sec = static_cast<int32_t>(now->tv_sec);
  int32_t now_usec = static_cast<int32_t>(now->tv_usec);
  int32_t stamp_sec = static_cast<int32_t>(cd.stamp.tv_sec);
  int32_t stamp_usec = static_cast<int32_t>(cd.stamp.tv_usec);
  int32_t elapsed_sec;
  int32_t elapsed_usec;
  if (now_usec < stamp_usec) {
    elapsed_sec = now_sec - stamp_sec - 1;
    elapsed_usec = now_usec + USEC_PER_SEC - stamp_usec;
  } else {
    elapsed_sec = now_sec - stamp_sec;
    elapsed_usec = now_usec - stamp_usec;
  }
  if (elapsed_sec > cd.remaining_sec) {
    countdown_stop(cd);
    return 1;
  }
  if (elapsed_sec == cd.remaining_sec) {
    if (cd.remaining_usec > elapsed_usec) {
      cd.remaining_sec = 0;
      cd.remaining_usec -= elapsed_usec;
      cd.stamp = *now;
      return 0;
    }
    countdown_stop(cd);
    return 1;
  }
  if (elapsed_usec <= cd.remaining_usec) {
    cd.remaining_sec -= elapsed_sec;
    cd.remaining_usec -= elapsed_usec;
  } else {
    cd.remaining_sec = cd.remaining_sec - elapsed_sec - 1;
    cd.remaining_usec = cd.remaining_usec + USEC_PER_SEC - elapsed_usec;
  }
  cd.stamp = *now;
  return 0;
}

void timeout_min(timeval& timeout, const countdown& cd) {
  if (cd.remaining_sec == 0 && cd.remaining_usec == 0) return;
  if (cd.remaining_sec < timeout.tv_sec ||
      (cd.remaining_sec == timeout.tv_sec && cd.remaining_usec < timeout.tv_usec)) {
    timeout.tv_sec = cd.remaining_sec;
    timeout.tv_usec = cd.remaining_usec;
  }
}

int monotonic_seconds() { return sys().monotonic_clock(); }

bool local_calendar_time(const timeval& wall, tm& out) {
  time_t seconds = wall.tv_sec;
  return localtime_r(&seconds, &out) != nullptr;
}
