// SPDX-License-Identifier: GPL-3.0-or-later
// The beacon's schedule across steps of the wall clock, with clocks and a sound of the test's own:
// every frame played moves both clocks on by its length, and a step moves the wall clock alone.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "keying/beacon.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

// 2026-12-08 00:00:00 UTC.
const WallClock::time_point kMidnight = std::chrono::sys_days(std::chrono::year_month_day(
    std::chrono::year(2026), std::chrono::December, std::chrono::day(8)));

class TestClocks : public Clocks {
 public:
  explicit TestClocks(WallClock::time_point wall) : wall_(wall) {}
  WallClock::time_point wall() const override { return wall_; }
  SteadyClock::time_point steady() const override { return steady_; }

  // The wall clock steps by `by` once `after` of steady time has passed.
  void stepAfter(SteadyClock::duration after, WallClock::duration by) {
    steps_.push_back({SteadyClock::time_point() + after, by});
  }

  void pass(std::chrono::nanoseconds time) {
    wall_ += std::chrono::duration_cast<WallClock::duration>(time);
    steady_ += time;
    for (auto& [at, by] : steps_) {
      if (steady_ >= at && by != WallClock::duration::zero()) {
        wall_ += by;
        by = WallClock::duration::zero();
      }
    }
  }

 private:
  WallClock::time_point wall_;
  SteadyClock::time_point steady_;
  std::vector<std::pair<SteadyClock::time_point, WallClock::duration>> steps_;
};

// Plays in no time but moves the clocks on by what it played; notes when each element starts.
class ClockedSound : public TimedSound {
 public:
  ClockedSound(TestClocks& clocks, std::int64_t rateHz) : clocks_(clocks), rateHz_(rateHz) {}
  void open(std::shared_ptr<const ToneBank> tones) override { tones_ = std::move(tones); }
  void play(Tone tone) override { playPart(tone, tones_->frames(tone)); }
  void playPart(Tone tone, std::int64_t frames) override {
    if (tone == Tone::Dot || tone == Tone::Dash) {
      elementsAt.push_back(clocks_.wall());
    }
    clocks_.pass(std::chrono::nanoseconds(frames * 1'000'000'000 / rateHz_));
    underruns_ += ++plays_ == runsDryAfterPlays ? 1U : 0U;
  }
  void drain() override {}
  std::chrono::microseconds latency() override { return 0us; }
  std::uint64_t underruns() override { return underruns_; }

  std::vector<WallClock::time_point> elementsAt;
  std::int64_t runsDryAfterPlays = -1;  // the server runs out of samples once, after this play

 private:
  TestClocks& clocks_;
  std::int64_t rateHz_;
  std::shared_ptr<const ToneBank> tones_;
  std::int64_t plays_ = 0;
  std::uint64_t underruns_ = 0;
};

struct BeaconRun {
  std::vector<WallClock::time_point> passesAt;  // when each pass's one element started
  std::string report;
};

// `beacon --every 60s --symbol 0.1 --passes 3 E` from 18:01:10, the wall clock stepping as told.
BeaconRun runAcrossSteps(const std::function<void(TestClocks&)>& steps,
                         std::int64_t runsDryAfterPlays = -1) {
  TestClocks clocks(kMidnight + 18h + 1min + 10s);
  steps(clocks);
  ClockedSound sound(clocks, 11025);
  sound.runsDryAfterPlays = runsDryAfterPlays;
  BeaconConfig config;
  config.message.push_back(U'E');
  config.tones = std::make_shared<const ToneBank>(
      ToneInputs{600.0, 1000.0, 1200.0, 11025, 0.1, 0.01, 1000.0, false});
  config.sampleRateHz = 11025;
  config.schedule = PassSchedule{60s, 0s};
  config.passes = 3;
  config.clocks = &clocks;
  const StopSignals stop({});
  std::ostringstream report;
  EXPECT_TRUE(runBeacon(config, sound, stop, report));
  return BeaconRun{sound.elementsAt, report.str()};
}

// The passes started at these times, to within a frame (the wait before a slot is whole frames).
void expectPassesAt(const BeaconRun& run, const std::vector<WallClock::time_point>& expected) {
  ASSERT_EQ(run.passesAt.size(), expected.size()) << run.report;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_LE(std::chrono::abs(run.passesAt[k] - expected[k]), 91us)
        << "pass " << k + 1 << " at " << utcText(run.passesAt[k]) << ", not "
        << utcText(expected[k]) << "\n"
        << run.report;
  }
}

TEST(BeaconClockSteps, AfterAStepForwardTheNextSlotOfTheNewTimeAndNoPassIsLate) {
  // A resume after three months asleep looks the same: the steady clock stood still meanwhile.
  const BeaconRun run =
      runAcrossSteps([](TestClocks& clocks) { clocks.stepAfter(70s, std::chrono::days(91)); });
  expectPassesAt(run, {kMidnight + 18h + 2min, kMidnight + std::chrono::days(91) + 18h + 3min,
                       kMidnight + std::chrono::days(91) + 18h + 4min});
  EXPECT_NE(run.report.find("the clock stepped forward by 91 d 0 h 00 min 00 s"), std::string::npos)
      << run.report;
  EXPECT_EQ(run.report.find("ran past"), std::string::npos) << run.report;
}

TEST(BeaconClockSteps, AfterAStepBackTheNextSlotOfTheNewTimeNotTheOldOnesInstant) {
  // At 18:02:20 back to 17:01:50: the old time's next slot, 18:03:00, falls at 17:02:30 of the
  // new time; the new time's is 17:02:00.
  const BeaconRun run =
      runAcrossSteps([](TestClocks& clocks) { clocks.stepAfter(70s, -(1h + 30s)); });
  expectPassesAt(run, {kMidnight + 18h + 2min, kMidnight + 17h + 2min, kMidnight + 17h + 3min});
  EXPECT_NE(run.report.find("the clock stepped back by 1 h 00 min 30 s"), std::string::npos)
      << run.report;
}

TEST(BeaconClockSteps, AStepDuringAPassIsFollowedAfterIt) {
  // Stepped forward by an hour while the first pass's element plays.
  const BeaconRun run =
      runAcrossSteps([](TestClocks& clocks) { clocks.stepAfter(50s + 50ms, 1h); });
  expectPassesAt(run, {kMidnight + 18h + 2min, kMidnight + 19h + 3min, kMidnight + 19h + 4min});
  EXPECT_EQ(run.report.find("ran past"), std::string::npos) << run.report;
}

// A gap the server let into the signal is in the log once, and the schedule goes on.
TEST(BeaconClockSteps, AServerRunningDryIsSaidOnce) {
  const BeaconRun run = runAcrossSteps([](TestClocks&) {}, 1000);
  expectPassesAt(run, {kMidnight + 18h + 2min, kMidnight + 18h + 3min, kMidnight + 18h + 4min});
  const std::string line = "the sound server ran out of samples: the signal has a gap";
  const std::size_t at = run.report.find(line);
  EXPECT_NE(at, std::string::npos) << run.report;
  EXPECT_EQ(run.report.find(line, at + 1), std::string::npos) << run.report;
}

}  // namespace
}  // namespace bitoner
