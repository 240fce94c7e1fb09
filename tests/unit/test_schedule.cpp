// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <chrono>

#include "keying/schedule.h"

namespace bitoner::cli {
namespace {

using namespace std::chrono_literals;

// 2026-12-08 00:00:00 UTC.
const WallClock::time_point kMidnight = std::chrono::sys_days(std::chrono::year_month_day(
    std::chrono::year(2026), std::chrono::December, std::chrono::day(8)));

TEST(Schedule, DurationsInSecondsMinutesAndHours) {
  EXPECT_EQ(parseDuration("90s"), Milliseconds(90'000));
  EXPECT_EQ(parseDuration("10m"), Milliseconds(600'000));
  EXPECT_EQ(parseDuration("1h"), Milliseconds(3'600'000));
  EXPECT_EQ(parseDuration("1.5m"), Milliseconds(90'000));
  EXPECT_EQ(parseDuration("2"), Milliseconds(2'000));
  for (const char* bad : {"", "m", "10x", "-5s", "10 m", "1e400", "25h", "nan"}) {
    EXPECT_EQ(parseDuration(bad), std::nullopt) << bad;
  }
}

TEST(Schedule, PassesStartOnWholeMultiplesAfterMidnightPlusTheOffset) {
  const PassSchedule tenMinutesAtFour{10min, 4min};
  EXPECT_EQ(tenMinutesAtFour.nextStart(kMidnight + 5h + 3min), kMidnight + 5h + 4min);
  EXPECT_EQ(tenMinutesAtFour.nextStart(kMidnight + 5h + 4min), kMidnight + 5h + 4min);
  EXPECT_EQ(tenMinutesAtFour.nextStart(kMidnight + 5h + 4min + 1ms), kMidnight + 5h + 14min);
  // Before the day's first slot, and past its last.
  EXPECT_EQ(tenMinutesAtFour.nextStart(kMidnight + 1min), kMidnight + 4min);
  EXPECT_EQ(tenMinutesAtFour.nextStart(kMidnight + 23h + 55min), kMidnight + 24h + 4min);
  // An offset of more than a period names the same slots.
  EXPECT_EQ((PassSchedule{10min, 14min}.nextStart(kMidnight + 1min)), kMidnight + 4min);
  // A period that does not divide the day starts again at midnight instead of drifting.
  const PassSchedule sevenMinutes{7min, 0min};
  EXPECT_EQ(sevenMinutes.nextStart(kMidnight + 23h + 56min), kMidnight + 24h);
  EXPECT_EQ(sevenMinutes.nextStart(kMidnight + 23h + 54min), kMidnight + 23h + 55min);
}

}  // namespace
}  // namespace bitoner::cli
