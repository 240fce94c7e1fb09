// The PulseAudio player against a private sound server: what reaches the sink must be the tone
// files' frames in play order, bit for bit, with no silent frame where one play joins the next.

#include <gtest/gtest.h>
#include <sndfile.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sound/pulse_player.h"
#include "support/pulse_daemon.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "tones/tones.h"
#include "tones/wav_writer.h"
#include "ui/parameters.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;
using testing::expectRecorded;
using testing::framesOf;

constexpr double kSymbolSeconds = 0.04;  // 441 frames
constexpr double kGapSeconds = 0.004;    // 44 frames

void writeTones(double symbolSeconds, double gapSeconds) {
  const double ampl = 10340.65;  // -10 dB below full scale
  MakeTones({"600", "1000", "1200", kSampleRateHz, symbolSeconds, gapSeconds, ampl, false});
}

// The tone files in a scratch working directory, and a private sound server.
class PlayerTest : public ::testing::Test {
 protected:
  PlayerTest() { writeTones(kSymbolSeconds, kGapSeconds); }

  testing::TempWorkDir dir_;
  std::optional<testing::PrivatePulse> pulse_{std::in_place};
};

TEST_F(PlayerTest, TheStreamIsKeptBetweenRunsAndAnotherFormatReopensIt) {
  PulsePlayer player;
  player.open();
  ASSERT_TRUE(player.play("Dot.wav"));
  player.drain();

  // A mono file needs a stream of its own; the tone files after it get theirs back, still exact
  // and joined without a gap.
  SF_INFO info{0, kSampleRateHz, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 0, 0};
  SNDFILE* other = sf_open("Other.wav", SFM_WRITE, &info);
  ASSERT_NE(other, nullptr);
  std::array<short, 400> ramp{};
  for (std::size_t i = 0; i < ramp.size(); ++i) {
    ramp[i] = static_cast<short>(i * 50);
  }
  ASSERT_EQ(sf_write_short(other, ramp.data(), ramp.size()), static_cast<sf_count_t>(ramp.size()));
  sf_close(other);
  EXPECT_TRUE(player.play("other.wav"));
  player.drain();

  testing::MonitorRecorder recorder(*pulse_);
  for (const char* name : {"dash.wav", "InterSymb.wav", "idle.wav"}) {
    EXPECT_TRUE(player.play(name)) << name;
  }
  player.drain();
  expectRecorded(recorder.stop(), framesOf({"Dash.wav", "InterSymb.wav", "Idle.wav"}));
}

// A tone file header for `frames` frames, sizes negative included, and no frames.
void writeHeaderOnly(const std::filesystem::path& file, std::int32_t frames) {
  const auto header = wavHeader(kSampleRateHz, frames);
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(header.data()),
             static_cast<std::streamsize>(header.size()));
}

TEST_F(PlayerTest, UnreadableFilesAreSkippedAndTheRunGoesOnWithoutAGap) {
  writeHeaderOnly("Negative.wav", -441);  // RIFF and data sizes both negative
  writeHeaderOnly("Slightly.wav", -3);    // RIFF size positive, data size negative
  std::ofstream("Text.wav") << "not a sound at all\n";
  std::filesystem::remove("Dash.wav");  // deleted before its play

  testing::MonitorRecorder recorder(*pulse_);
  PulsePlayer player;
  player.open();
  EXPECT_TRUE(player.play("dot.wav"));
  EXPECT_FALSE(player.play("dash.wav"));
  EXPECT_TRUE(player.play("InterSymb.wav"));
  EXPECT_FALSE(player.play("negative.wav"));
  EXPECT_TRUE(player.play("idle.wav"));
  EXPECT_FALSE(player.play("Slightly.wav"));
  EXPECT_FALSE(player.play("text.wav"));
  EXPECT_FALSE(player.play("Missing.wav"));
  EXPECT_TRUE(player.play("dot.wav"));
  player.drain();
  expectRecorded(recorder.stop(), framesOf({"Dot.wav", "InterSymb.wav", "Idle.wav", "Dot.wav"}));
}

TEST(PlayerNames, ExactNameFirstThenTheFirstCaseInsensitiveMatch) {
  const testing::TempDir temp;
  const std::filesystem::path& dir = temp.path();
  for (const char* name : {"Dot.wav", "DOT.wav", "Idle.wav"}) {
    std::ofstream(dir / name) << name;
  }
  EXPECT_EQ(findCaseInsensitive(dir / "DOT.wav"), dir / "DOT.wav");
  EXPECT_EQ(findCaseInsensitive(dir / "dot.wav"), dir / "DOT.wav");  // 'O' sorts before 'o'
  EXPECT_EQ(findCaseInsensitive(dir / "IDLE.WAV"), dir / "Idle.wav");
  EXPECT_EQ(findCaseInsensitive(dir / "dash.wav"), std::nullopt);
  EXPECT_EQ(findCaseInsensitive(dir / "nowhere" / "dot.wav"), std::nullopt);
}

TEST(PlayerServer, OpenReportsAnUnreachableServerAndConnectsOnceThereIsOne) {
  PulsePlayer player;
  {
    const testing::TempDir dir;
    const testing::ScopedEnv nowhere("PULSE_SERVER", "unix:" + (dir / "native").string());
    const testing::ScopedEnv cookie("PULSE_COOKIE", (dir / "cookie").string());
    try {
      player.open();
      ADD_FAILURE() << "open() did not throw without a server";
    } catch (const SoundError& error) {
      EXPECT_NE(std::string(error.what()).find("Connection refused"), std::string::npos)
          << error.what();
    }
  }
  const testing::PrivatePulse pulse;
  EXPECT_NO_THROW(player.open());
}

TEST_F(PlayerTest, AServerLostMidPlayIsReportedAndTheNextOpenReconnects) {
  writeTones(5.0, 0.5);  // a play long enough to be cut short
  PulsePlayer player;
  player.open();

  std::thread killer([this] {
    std::this_thread::sleep_for(300ms);
    pulse_->killDaemon();
  });
  auto reason = std::async(std::launch::async, [&player]() -> std::optional<std::string> {
    try {
      player.play("idle.wav");
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

  EXPECT_THROW(player.open(), SoundError);
  pulse_.reset();
  pulse_.emplace();
  writeTones(kSymbolSeconds, kGapSeconds);
  testing::MonitorRecorder recorder(*pulse_);
  player.open();
  EXPECT_TRUE(player.play("dot.wav"));
  player.drain();
  expectRecorded(recorder.stop(), framesOf({"Dot.wav"}));
}

}  // namespace
}  // namespace bitoner
