// SPDX-License-Identifier: GPL-3.0-or-later
// The PulseAudio player against a private sound server: what reaches the sink must be the tone
// files' frames in play order, bit for bit, with no silent frame where one play joins the next.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/parameters.h"
#include "engine/tones.h"
#include "sound/pulse_player.h"
#include "support/pulse_daemon.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;
using testing::expectRecorded;
using testing::framesOf;

constexpr double kSymbolSeconds = 0.04;  // 441 frames
constexpr double kGapSeconds = 0.004;    // 44 frames

ToneInputs toneInputs(double symbolSeconds, double gapSeconds) {
  const double ampl = 10340.65;  // -10 dB below full scale
  return {600.0, 1000.0, 1200.0, kSampleRateHz, symbolSeconds, gapSeconds, ampl, false};
}

std::shared_ptr<const ToneBank> tones(double symbolSeconds = kSymbolSeconds,
                                      double gapSeconds = kGapSeconds) {
  return std::make_shared<const ToneBank>(toneInputs(symbolSeconds, gapSeconds));
}

// The tone files in a scratch working directory (the recording is compared with them), and a
// private sound server.
class PlayerTest : public ::testing::Test {
 protected:
  PlayerTest() { MakeTones(toneInputs(kSymbolSeconds, kGapSeconds)); }

  testing::TempWorkDir dir_;
  std::optional<testing::PrivatePulse> pulse_{std::in_place};
};

TEST_F(PlayerTest, TheStreamIsKeptBetweenRunsAndPlaysJoinWithoutAGap) {
  PulsePlayer player;
  player.open(tones());
  player.play(Tone::Dot);
  player.drain();

  testing::MonitorRecorder recorder(*pulse_);
  player.open(tones());
  for (const Tone tone : {Tone::Dash, Tone::Gap, Tone::Idle}) {
    player.play(tone);
  }
  player.drain();
  expectRecorded(recorder.stop(), framesOf({"Dash.wav", "InterSymb.wav", "Idle.wav"}));
}

// Tones of a second or more are fed in larger requests, switched to between runs on the same
// stream.
TEST_F(PlayerTest, LongTonesAfterShortOnesJoinWithoutAGap) {
  PulsePlayer player;
  player.open(tones());
  player.play(Tone::Dot);
  player.drain();

  testing::MonitorRecorder recorder(*pulse_);
  const auto long_tones = tones(1.0, 0.1);
  player.open(long_tones);
  std::vector<std::int16_t> expected;
  for (const Tone tone : {Tone::Dash, Tone::Gap, Tone::Idle}) {
    player.play(tone);
    const auto frames = long_tones->keptFrames(tone);
    expected.insert(expected.end(), frames.begin(), frames.end());
  }
  player.drain();
  expectRecorded(recorder.stop(), expected);
}

TEST(PlayerServer, OpenReportsAnUnreachableServerAndConnectsOnceThereIsOne) {
  PulsePlayer player;
  {
    const testing::TempDir dir;
    const testing::ScopedEnv nowhere("PULSE_SERVER", "unix:" + (dir / "native").string());
    const testing::ScopedEnv cookie("PULSE_COOKIE", (dir / "cookie").string());
    try {
      player.open(tones());
      ADD_FAILURE() << "open() did not throw without a server";
    } catch (const SoundError& error) {
      EXPECT_NE(std::string(error.what()).find("Connection refused"), std::string::npos)
          << error.what();
    }
  }
  const testing::PrivatePulse pulse;
  EXPECT_NO_THROW(player.open(tones()));
}

TEST_F(PlayerTest, AServerLostMidPlayIsReportedAndTheNextOpenReconnects) {
  PulsePlayer player;
  player.open(tones(5.0, 0.5));  // a play long enough to be cut short

  std::thread killer([this] {
    std::this_thread::sleep_for(300ms);
    pulse_->killDaemon();
  });
  auto reason = std::async(std::launch::async, [&player]() -> std::optional<std::string> {
    try {
      player.play(Tone::Idle);
    } catch (const SoundError& error) {
      return error.what();
    }
    return std::nullopt;
  });
  killer.join();
  // A play that never comes back would hang the whole suite: end it here instead.
  if (reason.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "play() did not return within 10 s of the server's death";
    std::abort();
  }
  const std::optional<std::string> lost = reason.get();
  ASSERT_TRUE(lost.has_value()) << "play() went on as if the server were still there";
  EXPECT_NE(lost->find("sound server lost"), std::string::npos) << *lost;

  EXPECT_THROW(player.open(tones()), SoundError);
  pulse_.reset();
  pulse_.emplace();
  testing::MonitorRecorder recorder(*pulse_);
  player.open(tones());
  player.play(Tone::Dot);
  player.drain();
  expectRecorded(recorder.stop(), framesOf({"Dot.wav"}));
}

}  // namespace
}  // namespace bitoner
