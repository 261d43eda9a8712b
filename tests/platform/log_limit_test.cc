#include "platform/log_limit.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A period of 10 s from the first message: ten logged, the rest counted and reported when the
// period is over, not a second before.
TEST(LogLimit, TenPerPeriodThenOneCount) {
  log_limit limit;
  int start = 1000;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(log_limit_admit(limit, start + (i < 5 ? 0 : 9)));
  for (int i = 0; i < 27; ++i) EXPECT_FALSE(log_limit_admit(limit, start + 9));
  EXPECT_EQ(log_limit_expire(limit, start), 0u);
  EXPECT_EQ(log_limit_expire(limit, start + 9), 0u);
  EXPECT_EQ(log_limit_expire(limit, start + 10), 27u);
  EXPECT_EQ(log_limit_expire(limit, start + 11), 0u);
  // The next message starts a new period with ten of its own.
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(log_limit_admit(limit, start + 30));
  EXPECT_FALSE(log_limit_admit(limit, start + 39));
  EXPECT_EQ(log_limit_expire(limit, start + 39), 0u);
  EXPECT_EQ(log_limit_expire(limit, start + 40), 1u);
}

TEST(LogLimit, QuietPeriodReportsNothing) {
  log_limit limit;
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(log_limit_admit(limit, 5));
  EXPECT_EQ(log_limit_expire(limit, 100), 0u);
  EXPECT_TRUE(log_limit_admit(limit, 101));
}

// A steady flood of 30 messages a second for a minute, the period checked every second as the
// loop does: at most ten lines and one count per period, and nothing lost.
TEST(LogLimit, SteadyFloodLeavesElevenLinesPerPeriod) {
  log_limit limit;
  int logged = 0;
  uint32_t counted = 0;
  int counts = 0;
  for (int now = 0; now < 60; ++now) {
    for (int i = 0; i < 30; ++i) logged += log_limit_admit(limit, now) ? 1 : 0;
    uint32_t n = log_limit_expire(limit, now + 1);
    counted += n;
    counts += n != 0 ? 1 : 0;
  }
  EXPECT_EQ(logged, 60);
  EXPECT_EQ(counts, 6);
  EXPECT_EQ(logged + static_cast<int>(counted), 60 * 30);
}

}  // namespace
