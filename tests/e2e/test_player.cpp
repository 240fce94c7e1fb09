// The PulseAudio player against a private sound server: what reaches the sink must be the tone
// files' frames in play order, bit for bit, with no silent frame where one play joins the next.

#include <gtest/gtest.h>
#include <sndfile.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sound/pulse_player.h"
#include "support/pulse_daemon.h"
#include "tones/tones.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kRateHz = 11025;
constexpr double kSymbolSeconds = 0.04;  // 441 frames
constexpr double kGapSeconds = 0.004;    // 44 frames
constexpr double kAmplitude = 10340.65;  // -10 dB below full scale
// The first frames of a recording may be lost while the monitor starts up.
constexpr std::size_t kMaxMissingFrames = kRateHz / 100;  // 10 ms

std::filesystem::path makeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "bitoner-e2e-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  return pattern;
}

// A scratch working directory holding the tone files, and a private sound server.
class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldDir_ = std::filesystem::current_path();
    dir_ = makeTempDir();
    std::filesystem::current_path(dir_);
    writeTones(kSymbolSeconds, kGapSeconds);
    pulse_.emplace();
  }

  void TearDown() override {
    pulse_.reset();
    std::filesystem::current_path(oldDir_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void writeTones(double symbolSeconds, double gapSeconds) {
    MakeTones(ToneInputs{.idleFreqText = "600",
                         .dotFreqText = "1000",
                         .dashFreqText = "1200",
                         .Fsample = kRateHz,
                         .SymbolLength = symbolSeconds,
                         .InterSymbol = gapSeconds,
                         .Ampl = kAmplitude,
                         .invert = false},
              dir_);
  }

  // The frames of the named files (as written on disk), one after the other.
  std::vector<std::int16_t> framesOf(const std::vector<std::string>& files) const {
    std::vector<std::int16_t> all;
    for (const std::string& file : files) {
      const std::vector<std::int16_t> frames = testing::readWavSamples(dir_ / file);
      all.insert(all.end(), frames.begin(), frames.end());
    }
    return all;
  }

  static void expectSignal(const std::vector<std::int16_t>& recording,
                           const std::vector<std::int16_t>& expected) {
    const testing::SignalComparison result =
        testing::compareSignal(recording, expected, kMaxMissingFrames);
    EXPECT_TRUE(result.equal) << result.description;
    EXPECT_EQ(result.silentInside, 0U);
    EXPECT_LE(result.missingAtStart, kMaxMissingFrames);
  }

  std::filesystem::path oldDir_;
  std::filesystem::path dir_;
  std::optional<testing::PrivatePulse> pulse_;
};

TEST_F(PlayerTest, ConsecutivePlaysJoinBitForBitWithoutAGap) {
  // The sequencer's names for the letter N (dash, dot) and the files they must reach.
  const std::vector<std::string> names{"dash.wav",      "InterSymb.wav", "dot.wav",
                                       "InterSymb.wav", "idle.wav",      "idle.wav"};
  const std::vector<std::string> files{"Dash.wav",      "InterSymb.wav", "Dot.wav",
                                       "InterSymb.wav", "Idle.wav",      "Idle.wav"};
  testing::MonitorRecorder recorder(*pulse_);
  PulsePlayer player;
  player.open();
  for (const std::string& name : names) {
    EXPECT_TRUE(player.play(name)) << name;
  }
  player.drain();
  expectSignal(recorder.stop(), framesOf(files));
}

TEST_F(PlayerTest, TheStreamIsKeptBetweenRunsAndAnotherFormatReopensIt) {
  PulsePlayer player;
  player.open();
  ASSERT_TRUE(player.play("Dot.wav"));
  player.drain();

  // A mono file needs a stream of its own; the tone files after it get theirs
  // back, still exact.
  SF_INFO info{.frames = 0,
               .samplerate = kRateHz,
               .channels = 1,
               .format = SF_FORMAT_WAV | SF_FORMAT_PCM_16,
               .sections = 0,
               .seekable = 0};
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
  expectSignal(recorder.stop(), framesOf({"Dash.wav", "InterSymb.wav", "Idle.wav"}));
}

// Writes a tone file header for `frames` frames computed the way the tone writer does, sizes
// negative included, and no frames.
void writeHeaderOnly(const std::filesystem::path& file, std::int32_t frames) {
  std::ofstream out(file, std::ios::binary);
  const auto put32 = [&out](std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (unsigned shift = 0; shift < 32; shift += 8) {
      out.put(static_cast<char>((bits >> shift) & 0xFFU));
    }
  };
  const auto put16 = [&out](std::uint16_t value) {
    out.put(static_cast<char>(value & 0xFFU));
    out.put(static_cast<char>(value >> 8U));
  };
  out.write("RIFF", 4);
  put32(36 + 4 * frames);
  out.write("WAVEfmt ", 8);
  put32(16);
  put16(1);
  put16(2);
  put32(kRateHz);
  put32(4 * kRateHz);
  put16(4);
  put16(16);
  out.write("data", 4);
  put32(4 * frames);
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
  expectSignal(recorder.stop(), framesOf({"Dot.wav", "InterSymb.wav", "Idle.wav", "Dot.wav"}));
}

TEST(PlayerNames, ExactNameFirstThenTheFirstCaseInsensitiveMatch) {
  const std::filesystem::path dir = makeTempDir();
  for (const char* name : {"Dot.wav", "DOT.wav", "Idle.wav"}) {
    std::ofstream(dir / name) << name;
  }
  EXPECT_EQ(findCaseInsensitive(dir / "DOT.wav"), dir / "DOT.wav");
  EXPECT_EQ(findCaseInsensitive(dir / "dot.wav"), dir / "DOT.wav");  // 'O' sorts before 'o'
  EXPECT_EQ(findCaseInsensitive(dir / "IDLE.WAV"), dir / "Idle.wav");
  EXPECT_EQ(findCaseInsensitive(dir / "dash.wav"), std::nullopt);
  EXPECT_EQ(findCaseInsensitive(dir / "nowhere" / "dot.wav"), std::nullopt);
  std::filesystem::remove_all(dir);
}

// An environment variable set to a value for the life of the object.
class EnvVariable {
 public:
  EnvVariable(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
  }
  ~EnvVariable() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvVariable(const EnvVariable&) = delete;
  EnvVariable& operator=(const EnvVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(PlayerServer, OpenReportsAnUnreachableServerAndConnectsOnceThereIsOne) {
  PulsePlayer player;
  {
    const std::filesystem::path dir = makeTempDir();
    const EnvVariable nowhere("PULSE_SERVER", "unix:" + (dir / "native").string());
    const EnvVariable cookie("PULSE_COOKIE", (dir / "cookie").string());
    try {
      player.open();
      ADD_FAILURE() << "open() did not throw without a server";
    } catch (const SoundError& error) {
      EXPECT_NE(std::string(error.what()).find("Connection refused"), std::string::npos)
          << error.what();
    }
    std::filesystem::remove_all(dir);
  }
  const testing::PrivatePulse pulse;
  EXPECT_NO_THROW(player.open());
}

TEST_F(PlayerTest, AServerLostMidPlayIsReportedAndTheNextOpenReconnects) {
  writeTones(5.0, 0.5);  // a play long enough to be cut short
  PulsePlayer player;
  player.open();

  std::mutex mutex;
  std::condition_variable changed;
  bool returned = false;
  std::thread killer([&] {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, 300ms, [&] { return returned; })) {
      pulse_->killDaemon();
    }
    // A play that never comes back would hang the whole suite: end it here instead.
    if (!changed.wait_for(lock, 10s, [&] { return returned; })) {
      ADD_FAILURE() << "play() did not return within 10 s of the server's death";
      std::abort();
    }
  });
  std::optional<std::string> reason;
  try {
    player.play("idle.wav");
  } catch (const SoundError& error) {
    reason = error.what();
  }
  {
    const std::lock_guard lock(mutex);
    returned = true;
  }
  changed.notify_all();
  killer.join();
  ASSERT_TRUE(reason.has_value()) << "play() went on as if the server were still there";
  EXPECT_NE(reason->find("sound server lost"), std::string::npos) << *reason;

  EXPECT_THROW(player.open(), SoundError);
  pulse_.reset();
  pulse_.emplace();
  writeTones(kSymbolSeconds, kGapSeconds);
  testing::MonitorRecorder recorder(*pulse_);
  player.open();
  EXPECT_TRUE(player.play("dot.wav"));
  player.drain();
  expectSignal(recorder.stop(), framesOf({"Dot.wav"}));
}

}  // namespace
}  // namespace bitoner
