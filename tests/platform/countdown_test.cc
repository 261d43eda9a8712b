#include "platform/countdown.h"

#include <gtest/gtest.h>
#include <time.h>

namespace {

timeval tv(long sec, long usec) {
  timeval t{};
  t.tv_sec = sec;
  t.tv_usec = usec;
  return t;
}

// Arms a countdown and pins its stamp to a fixed time.
countdown armed(int32_t sec, int32_t usec, timeval at) {
  countdown cd;
  countdown_start_at(cd, sec, usec, at);
  return cd;
}

bool same_time(const timeval& a, const timeval& b) {
  return a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
}

}  // namespace

TEST(Countdown, CheckAgainstAFixedClock) {
  struct {
    const char* what;
    int32_t sec, usec;
    timeval stamp, now;
    int expired;
    int32_t left_sec, left_usec;
  } cases[] = {
      {"elapsed equals remaining", 2, 0, tv(10, 500000), tv(12, 500000), 1, 0, 0},
      {"a microsecond short", 2, 0, tv(10, 500000), tv(12, 499999), 0, 0, 1},
      {"borrow on both sides", 1, 100000, tv(10, 900000), tv(11, 300000), 0, 0, 700000},
      {"borrow on the stamp side", 0, 300000, tv(10, 900000), tv(11, 100000), 0, 0, 100000},
      {"borrow from the remaining seconds", 5, 0, tv(10, 500000), tv(12, 700000), 0, 2, 800000},
      {"nothing elapsed", 0, 1, tv(10, 0), tv(10, 0), 0, 0, 1},
      {"long overdue", 1, 999999, tv(10, 0), tv(12, 0), 1, 0, 0},
      {"usec beyond a second, under a second elapsed", 0, 1500000, tv(10, 0), tv(10, 600000), 0, 0,
       900000},
      {"usec beyond a second, a second elapsed", 0, 1500000, tv(10, 0), tv(11, 200000), 1, 0, 0},
      {"usec beyond a second, just under", 0, 1500000, tv(10, 0), tv(10, 999999), 0, 0, 500001},
      {"clock set back a second", 2, 0, tv(10, 500000), tv(9, 500000), 0, 3, 0},
      {"clock set back 0.3 s", 1, 0, tv(10, 500000), tv(10, 200000), 0, 1, 300000},
      {"clock set forward", 60, 0, tv(10, 500000), tv(1000, 0), 1, 0, 0},
  };
  for (const auto& c : cases) {
    countdown cd = armed(c.sec, c.usec, c.stamp);
    EXPECT_EQ(countdown_expired(&c.now, cd), c.expired) << c.what;
    EXPECT_EQ(cd.remaining_sec, c.left_sec) << c.what;
    EXPECT_EQ(cd.remaining_usec, c.left_usec) << c.what;
    // A running countdown is brought up to `now`; one that runs out keeps its old stamp.
    EXPECT_TRUE(same_time(cd.stamp, c.expired ? c.stamp : c.now)) << c.what;
  }
}

TEST(Countdown, RepeatedChecksConsumeEachIntervalOnce) {
  countdown cd = armed(3, 0, tv(10, 0));
  timeval t1 = tv(11, 0), t2 = tv(12, 0), t3 = tv(12, 999999), t4 = tv(13, 0), t5 = tv(20, 0);
  EXPECT_EQ(countdown_expired(&t1, cd), 0);
  EXPECT_EQ(cd.remaining_sec, 2);
  EXPECT_EQ(countdown_expired(&t2, cd), 0);
  EXPECT_EQ(cd.remaining_sec, 1);
  EXPECT_EQ(cd.remaining_usec, 0);
  EXPECT_EQ(countdown_expired(&t3, cd), 0);
  EXPECT_EQ(cd.remaining_sec, 0);
  EXPECT_EQ(cd.remaining_usec, 1);
  EXPECT_EQ(countdown_expired(&t4, cd), 1);
  // Once run out it stays disarmed.
  EXPECT_EQ(countdown_expired(&t5, cd), 1);
  EXPECT_EQ(countdown_expired(&t1, cd), 1);
  EXPECT_EQ(cd.remaining_sec, 0);
  EXPECT_EQ(cd.remaining_usec, 0);
}

TEST(Countdown, DisarmedReportsRunOutAndIsLeftAlone) {
  countdown fresh;
  fresh.stamp = tv(50, 5);
  timeval now = tv(10, 0);
  EXPECT_EQ(countdown_expired(&now, fresh), 1);
  EXPECT_TRUE(same_time(fresh.stamp, tv(50, 5)));

  countdown zero;
  countdown_start_at(zero, 0, 0, now);
  EXPECT_EQ(countdown_expired(&now, zero), 1);
}

TEST(Countdown, TimeoutMinTakesTheShorterArmedTime) {
  struct {
    const char* what;
    timeval timeout;
    int32_t sec, usec;
    timeval expected;
  } cases[] = {
      {"shorter lowers", tv(1, 0), 0, 250000, tv(0, 250000)},
      {"equal is not shorter", tv(1, 0), 1, 0, tv(1, 0)},
      {"longer leaves it", tv(1, 0), 5, 0, tv(1, 0)},
      {"disarmed leaves it", tv(1, 0), 0, 0, tv(1, 0)},
      {"same seconds, fewer usec", tv(0, 300000), 0, 200000, tv(0, 200000)},
      {"same seconds, more usec", tv(0, 300000), 0, 500000, tv(0, 300000)},
      {"unnormalised passed unchanged", tv(1, 0), 0, 1500000, tv(0, 1500000)},
  };
  for (const auto& c : cases) {
    countdown cd;
    cd.remaining_sec = c.sec;
    cd.remaining_usec = c.usec;
    timeval timeout = c.timeout;
    timeout_min(timeout, cd);
    EXPECT_TRUE(same_time(timeout, c.expected))
        << c.what << ": " << timeout.tv_sec << "." << timeout.tv_usec;
  }
}

TEST(Countdown, MonotonicSecondsFollowTheMonotonicClock) {
  int first = monotonic_seconds();
  timespec ts{};
  ASSERT_EQ(clock_gettime(CLOCK_MONOTONIC, &ts), 0);
  int second = monotonic_seconds();
  EXPECT_GE(first, 0);
  EXPECT_LE(first, ts.tv_sec);
  EXPECT_GE(second, ts.tv_sec);
  EXPECT_LE(second - first, 1);
}
