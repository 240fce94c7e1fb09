// GO through the real sequencer and the real PulseAudio player into a private sound server: the
// sink must receive the tone files' frames in Morse order, bit for bit, as one unbroken signal.

#include <gmock/gmock.h>
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
#include "support/pulse_daemon.h"

namespace bitoner {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The first frames of a recording may be lost while the monitor starts up.
constexpr std::size_t kMaxMissingFrames = kSampleRateHz / 100;  // 10 ms

// The window reduced to what the sequencer sees: box texts whose writes run the change handlers,
// as the real window's boxes do, and a hook in place of the event loop.
class PlainWindow : public KeyingWindow {
 public:
  PlainWindow() {
    params_.Fsample = kSampleRateHz;
    for (const auto& [box, text] : kDefaultTexts) {
      setBoxText(box, std::string(text));
    }
    params_.abort = kFalse;
  }

  KeyingParameters& parameters() override { return params_; }
  std::u32string message() const override { return message_; }
  void setMessage(const std::u32string& text) override { message_ = text; }
  std::string boxText(Box box) const override { return boxes_.at(box); }

  void setBoxText(Box box, const std::string& text) override {
    boxes_[box] = text;
    switch (box) {
      case Box::IdleFreq:
        params_.IdleFreq_Change();
        break;
      case Box::DotFreq:
        params_.DotFreq_Change();
        break;
      case Box::DashFreq:
        params_.DashFreq_Change();
        break;
      case Box::SymbLen:
        params_.SymbLen_Change(boxes_[Box::SymbLen], boxes_[Box::Intgap]);
        break;
      case Box::Intgap:
        params_.Intgap_Change(boxes_[Box::Intgap]);
        break;
      case Box::dB:
        params_.dB_Change(boxes_[Box::dB]);
        break;
    }
  }

  void clearPattern() override { pattern_.clear(); }
  void appendPattern(char symbol) override { pattern_ += symbol; }
  bool loopChecked() const override { return loop_; }
  bool invertChecked() const override { return false; }
  void showKeying(bool keying) override { keying_ = keying; }
  void processEvents() override {
    ++eventRounds_;
    if (onEvents_) {
      onEvents_(eventRounds_);
    }
  }
  void report(const std::string& text) override { reports_.push_back(text); }

  std::string pattern_;
  bool loop_ = false;
  bool keying_ = false;
  int eventRounds_ = 0;
  std::function<void(int)> onEvents_;
  std::vector<std::string> reports_;

 private:
  KeyingParameters params_;
  std::map<Box, std::string> boxes_;
  std::u32string message_;
};

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
  PlainWindow window_;
  PulsePlayer player_;
  Sequencer sequencer_{window_, player_};
};

TEST_F(KeyingTest, SosReachesTheSinkAsTheToneFilesInMorseOrder) {
  window_.setMessage(U"sos");
  testing::MonitorRecorder recorder(*pulse_);
  sequencer_.Command1_Click();
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_THAT(window_.reports_, IsEmpty());
  EXPECT_EQ(window_.pattern_, "... --- ... ");
  EXPECT_FALSE(window_.keying_);
  EXPECT_EQ(testing::readWavSamples(dir_ / "Dot.wav").size(), 441U * 2);
  expectSignal(recording, framesInOrder("dgdgdgi"
                                        "DgDgDgi"
                                        "dgdgdgi"));
}

TEST_F(KeyingTest, LoopPassesJoinWithoutAGapUntilStop) {
  window_.setMessage(U"E");
  window_.loop_ = true;
  window_.onEvents_ = [this](int round) {
    if (round == 3) {
      sequencer_.Stp_Click();
    }
  };
  testing::MonitorRecorder recorder(*pulse_);
  sequencer_.Command1_Click();
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_THAT(window_.reports_, IsEmpty());
  EXPECT_EQ(window_.parameters().abort, kFalse);
  // Each pass: dot, gap, idle; between passes one idle more; the third pass stops after its gap.
  expectSignal(recording, framesInOrder("dgii"
                                        "dgii"
                                        "dg"));
}

TEST_F(KeyingTest, ALostServerEndsALoopRunWithTheReason) {
  window_.setMessage(U"T");
  window_.loop_ = true;
  window_.onEvents_ = [this](int round) {
    if (round == 2) {
      pulse_->killDaemon();
    }
  };
  sequencer_.Command1_Click();  // returns instead of keying on into a server that is gone

  ASSERT_EQ(window_.reports_.size(), 1U);
  EXPECT_THAT(window_.reports_[0], HasSubstr("sound server lost"));
  EXPECT_FALSE(window_.keying_);
  EXPECT_EQ(window_.parameters().abort, kFalse);
}

}  // namespace
}  // namespace bitoner
