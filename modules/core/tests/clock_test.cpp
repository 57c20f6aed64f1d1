#include "clock.hpp"

#include <cstdint>

#include <gtest/gtest.h>

TEST(DeadlineAfter, ABudgetTheClockCannotHoldIsNoDeadline) {
  using Clock = std::chrono::steady_clock;
  EXPECT_EQ(pylon::deadline_after(UINT64_MAX), Clock::time_point::max());
  EXPECT_EQ(pylon::deadline_after(UINT64_MAX / 2), Clock::time_point::max());
  const Clock::time_point before = Clock::now();
  const Clock::time_point deadline = pylon::deadline_after(300);
  EXPECT_GE(deadline, before + std::chrono::seconds(300));
  EXPECT_LE(deadline, Clock::now() + std::chrono::seconds(300));
}
