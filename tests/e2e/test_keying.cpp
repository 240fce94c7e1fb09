// GO through the real sequencer and the real PulseAudio player into a private sound server: the
// sink must receive the tone files' frames in Morse order, bit for bit, as one unbroken signal.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "keying/sequencer.h"
#include "sound/pulse_player.h"
#include "support/plain_window.h"
#include "support/pulse_daemon.h"

namespace bitoner {
namespace {

// The first frames of a recording may be lost while the monitor starts up.
constexpr std::size_t kMaxMissingFrames = kSampleRateHz / 100;  // 10 ms

// A scratch working directory (GO writes the tone files there), a private sound server, and the
// window at the defaults but for a short symbol.
class KeyingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    oldDir_ = std::filesystem::current_path();
    std::string pattern = (std::filesystem::temp_directory_path() / "bitoner-key-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::filesystem::current_path(dir_);
    pulse_.emplace();
    window_.setBoxText(Box::SymbLen, "0.04");  // 441 frames; the 10 % gap is 44 frames
    window_.parameters().abort = kFalse;
  }

  void TearDown() override {
    pulse_.reset();
    std::filesystem::current_path(oldDir_);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // The frames of the tone files in the order given by their initials: d(ot), D(ash), g(ap),
  // i(dle).
  std::vector<std::int16_t> framesInOrder(const std::string& order) const {
    const std::map<char, std::vector<std::int16_t>> files{
        {'d', testing::readWavSamples(dir_ / "Dot.wav")},
        {'D', testing::readWavSamples(dir_ / "Dash.wav")},
        {'g', testing::readWavSamples(dir_ / "InterSymb.wav")},
        {'i', testing::readWavSamples(dir_ / "Idle.wav")},
    };
    std::vector<std::int16_t> all;
    for (const char file : order) {
      const std::vector<std::int16_t>& frames = files.at(file);
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
  }

  std::filesystem::path oldDir_;
  std::filesystem::path dir_;
  std::optional<testing::PrivatePulse> pulse_;
  testing::PlainWindow window_;
  PulsePlayer player_;
  Sequencer sequencer_{window_, player_};
};

TEST_F(KeyingTest, SosReachesTheSinkAsTheToneFilesInMorseOrder) {
  window_.setMessage(U"sos");
  testing::MonitorRecorder recorder(*pulse_);
  sequencer_.Command1_Click();
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_TRUE(window_.reports.empty()) << window_.reports.front();
  EXPECT_EQ(window_.pattern, "... --- ... ");
  EXPECT_FALSE(window_.keying);
  EXPECT_EQ(testing::readWavSamples(dir_ / "Dot.wav").size(), 441U * 2);
  expectSignal(recording, framesInOrder("dgdgdgi"
                                        "DgDgDgi"
                                        "dgdgdgi"));
}

TEST_F(KeyingTest, LoopPassesJoinWithoutAGapUntilStop) {
  window_.setMessage(U"E");
  window_.loop = true;
  window_.onEvents = [this](int round) {
    if (round == 3) {
      sequencer_.Stp_Click();
    }
  };
  testing::MonitorRecorder recorder(*pulse_);
  sequencer_.Command1_Click();
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_TRUE(window_.reports.empty()) << window_.reports.front();
  EXPECT_EQ(window_.parameters().abort, kFalse);
  // Each pass: dot, gap, idle; between passes one idle more; the third pass stops after its gap.
  expectSignal(recording, framesInOrder("dgii"
                                        "dgii"
                                        "dg"));
}

TEST_F(KeyingTest, ALostServerEndsALoopRunWithTheReason) {
  window_.setMessage(U"T");
  window_.loop = true;
  window_.onEvents = [this](int round) {
    if (round == 2) {
      pulse_->killDaemon();
    }
  };
  sequencer_.Command1_Click();  // returns instead of keying on into a server that is gone

  ASSERT_EQ(window_.reports.size(), 1U);
  EXPECT_NE(window_.reports[0].find("sound server lost"), std::string::npos) << window_.reports[0];
  EXPECT_FALSE(window_.keying);
  EXPECT_EQ(window_.parameters().abort, kFalse);
}

}  // namespace
}  // namespace bitoner
