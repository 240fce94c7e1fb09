// SPDX-License-Identifier: GPL-3.0-or-later
// The grabber's frames on the wall clock, and its stack.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "grab/downconverter.h"
#include "grab/frame_clock.h"
#include "grab/grabber.h"

namespace bitoner::grab {
namespace {

using namespace std::chrono_literals;

WallClock::time_point utc(const char* text) { return *parseUtc(text); }

TEST(FrameClockTest, FramesStartAtWholeMultiplesFromMidnightUtc) {
  const FrameClock tenMinutes{10min};
  EXPECT_EQ(tenMinutes.frameStart(utc("2026-12-08T14:09:59.999Z")), utc("2026-12-08T14:00:00Z"));
  EXPECT_EQ(tenMinutes.frameStart(utc("2026-12-08T14:10:00Z")), utc("2026-12-08T14:10:00Z"));
  EXPECT_EQ(FrameClock{1h}.frameStart(utc("2026-12-09T00:30:00Z")), utc("2026-12-09T00:00:00Z"));
  EXPECT_EQ(frameFileName("n0call", utc("2026-01-02T03:04:00Z")), "n0call-20260102T0304Z.png");
  EXPECT_TRUE(tilesDay(15min));
  EXPECT_FALSE(tilesDay(7min));
  EXPECT_FALSE(tilesDay(90s));
  EXPECT_FALSE(parseUtc("2026-12-08 14:00:00"));
}

// Samples as a sound server delivers them, a second at a time, with the clock's time after each.
class LiveGrab {
 public:
  explicit LiveGrab(WallClock::time_point clock)
      : clock_(clock),
        grabber_(settings(), [this](const std::string& name, std::span<const std::byte>) {
          names_.push_back(name);
        }) {}

  static GrabSettings settings() {
    GrabSettings s;
    s.clock.length = 1min;
    s.span.sampleRateHz = kRate;
    s.span.lowHz = 100.0;
    s.span.highHz = 200.0;
    s.span.resolutionHz = 2.0;
    s.span.columns = 60;
    return s;
  }

  void seconds(int count) {
    for (int i = 0; i < count; ++i) {
      clock_ += 1s;
      grabber_.feed(second_, clock_);
    }
  }
  void stepClock(WallClock::duration by) { clock_ += by; }

  std::vector<std::string> names_;
  Grabber& grabber() { return grabber_; }

 private:
  static constexpr double kRate = 1000.0;
  WallClock::time_point clock_;
  Grabber grabber_;
  std::vector<std::complex<float>> second_ = std::vector<std::complex<float>>(1000);
};

TEST(GrabberTest, LiveFramesFollowTheWallClockThroughSteps) {
  LiveGrab live(utc("2026-12-08T13:59:30Z"));
  live.seconds(40);  // across 14:00
  EXPECT_EQ(live.names_, (std::vector<std::string>{"grab-20261208T1359Z.png", "grab-latest.png"}));
  EXPECT_EQ(live.grabber().frameStart(), utc("2026-12-08T14:00:00Z"));
  live.names_.clear();
  live.stepClock(1h);  // forward: the frame so far is drawn, then the clock's own frame begins
  live.seconds(2);
  EXPECT_EQ(live.names_, (std::vector<std::string>{"grab-20261208T1400Z.png", "grab-latest.png"}));
  EXPECT_EQ(live.grabber().frameStart(), utc("2026-12-08T15:00:00Z"));
  live.names_.clear();
  live.stepClock(-2h);  // and back
  live.seconds(1);
  EXPECT_EQ(live.names_, (std::vector<std::string>{"grab-20261208T1500Z.png", "grab-latest.png"}));
  EXPECT_EQ(live.grabber().frameStart(), utc("2026-12-08T13:00:00Z"));
}

// Stepped back within a frame, the clock comes to minutes already drawn: the picture so far is
// finished and the frame is drawn again under a name of its own, never over the first.
TEST(GrabberTest, AClockSteppedBackIntoADrawnFrameDrawsItAgainBesideTheFirstPicture) {
  LiveGrab live(utc("2026-12-08T14:00:00Z"));
  live.seconds(40);
  live.stepClock(-30s);
  live.seconds(1);
  EXPECT_EQ(live.names_, (std::vector<std::string>{"grab-20261208T1400Z.png", "grab-latest.png"}));
  live.names_.clear();
  live.seconds(60);  // on past 14:01
  EXPECT_EQ(live.names_,
            (std::vector<std::string>{"grab-20261208T1400Z-2.png", "grab-latest.png"}));
}

TEST(GrabberTest, AFrameBrokenOffByALostServerIsKeptAndGoesOnAfterTheGap) {
  LiveGrab live(utc("2026-12-08T14:00:00Z"));
  live.seconds(10);
  live.grabber().breakOff();
  live.stepClock(20s);  // the server away
  live.seconds(40);     // back, and on past 14:01
  EXPECT_EQ(live.names_, (std::vector<std::string>{"grab-20261208T1400Z.png", "grab-latest.png"}));
}

// The band's mean power after the downconverter, for two seconds of a full-scale tone at `hz`.
double powerThrough(Downconverter& down, double hz) {
  std::vector<std::complex<float>> in(22050);
  for (std::size_t n = 0; n < in.size(); ++n) {
    in[n] = std::polar(
        1.0F, static_cast<float>(2.0 * std::numbers::pi * hz * static_cast<double>(n) / 11025.0));
  }
  std::vector<std::complex<float>> out;
  down.feed(in, out);
  double sum = 0.0;
  // Past the filter's start, where it still holds silence.
  for (std::size_t j = out.size() / 4; j < out.size(); ++j) {
    sum += std::norm(std::complex<double>(out[j]));
  }
  return sum / static_cast<double>(out.size() - out.size() / 4);
}

TEST(DownconverterTest, PassesTheBandWholeAndStopsWhatWouldFoldIntoIt) {
  Downconverter inBand(11025.0, 900.0, 780.0);
  ASSERT_GT(inBand.decimation(), 4);
  EXPECT_NEAR(10.0 * std::log10(powerThrough(inBand, 900.0 + 380.0)), 0.0, 0.1);
  // A tone one output rate above the centre lands on the centre once decimated.
  Downconverter folding(11025.0, 900.0, 780.0);
  EXPECT_LT(10.0 * std::log10(powerThrough(folding, 900.0 + folding.outputRateHz())), -70.0);
}

TEST(StackTest, AveragesTheLastFramesWhereTheyHoldARecording) {
  const float none = std::nanf("");
  Stack stack(2);
  stack.add({1, 2, {1.0F, none}});
  EXPECT_EQ(stack.add({1, 2, {3.0F, 4.0F}}).power, (std::vector<float>{2.0F, 4.0F}));
  EXPECT_EQ(stack.add({1, 2, {5.0F, 8.0F}}).power, (std::vector<float>{4.0F, 6.0F}));
}

}  // namespace
}  // namespace bitoner::grab
