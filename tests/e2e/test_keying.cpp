// SPDX-License-Identifier: GPL-3.0-or-later
// GO through the run controller and the real PulseAudio player into a private sound server: the
// sink must receive the tone files' frames in Morse order, bit for bit, as one unbroken signal.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "engine/run_plan.h"
#include "keying/run_controller.h"
#include "sound/pulse_player.h"
#include "support/plain_boxes.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

// The real player, with an action run before the n-th play: an operator acting while the tone
// before it is heard.
class ActingPlayer : public SoundService {
 public:
  void open(std::shared_ptr<const ToneBank> tones) override { player_.open(std::move(tones)); }
  void play(Tone tone) override {
    if (const auto action = atPlay.find(++plays); action != atPlay.end()) {
      action->second();
    }
    player_.play(tone);
  }
  void drain() override { player_.drain(); }
  // The display follows what the real server has played.
  void whenHeard(std::function<void()> heard) override { player_.whenHeard(std::move(heard)); }

  std::map<std::size_t, std::function<void()>> atPlay;
  std::size_t plays = 0;

 private:
  PulsePlayer player_;
};

// GO writes the tone files into the working directory. The boxes are at the defaults but for a
// short symbol.
class KeyingTest : public ::testing::Test {
 protected:
  KeyingTest() {
    boxes_.writeBox(Box::SymbLen, "0.04");  // 441 frames; the 10 % gap is 44 frames
  }

  // Keys the message to the end of the run and returns how it ended, with the pattern shown.
  RunEnd go(const std::u32string& message, bool loop = false) {
    pattern_.clear();
    player_.plays = 0;
    const RunPlan plan = std::get<RunPlan>(prepareRun(boxes_.texts, message, false));
    std::promise<RunEnd> ended;
    RunController run(player_, [&] {
      const RunProgress progress = run.takeProgress();
      if (progress.cleared) {
        pattern_.clear();
      }
      pattern_ += progress.appended;
      if (progress.end) {
        ended.set_value(*progress.end);
      }
    });
    run_ = &run;
    run.start(RunRequest{
        .tones = plan.tones, .message = plan.message, .loop = loop, .toneDirectory = "."});
    return ended.get_future().get();
  }

  testing::TempWorkDir dir_;
  testing::PrivatePulse pulse_;
  testing::PlainBoxes boxes_;
  ActingPlayer player_;
  RunController* run_ = nullptr;
  std::string pattern_;
};

TEST_F(KeyingTest, SosReachesTheSinkAsTheToneFilesInMorseOrder) {
  testing::MonitorRecorder recorder(pulse_);
  const RunEnd end = go(U"sos");
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_EQ(end.kind, RunEnd::Kind::Completed) << end.detail;
  EXPECT_EQ(pattern_, "... --- ... ");
  EXPECT_EQ(testing::readWavSamples("Dot.wav").size(), 441U * 2);
  testing::expectRecorded(recording, testing::framesOf(testing::playOrder(U"SOS")));
}

TEST_F(KeyingTest, LoopPassesJoinWithoutAGapUntilStop) {
  player_.atPlay[9] = [this] { run_->stop(); };
  testing::MonitorRecorder recorder(pulse_);
  const RunEnd end = go(U"E", true);
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_EQ(end.kind, RunEnd::Kind::Ended) << end.detail;
  // Each pass: dot, gap, idle; between passes one idle more; the third pass stops after its gap.
  const std::vector<std::string> order{"Dot.wav", "InterSymb.wav", "Idle.wav", "Idle.wav",
                                       "Dot.wav", "InterSymb.wav", "Idle.wav", "Idle.wav",
                                       "Dot.wav", "InterSymb.wav"};
  testing::expectRecorded(recording, testing::framesOf(order));
}

TEST_F(KeyingTest, ALostServerEndsALoopRunWithTheReason) {
  player_.atPlay[3] = [this] { pulse_.killDaemon(); };
  const RunEnd end = go(U"T", true);  // ends instead of keying on into a server that is gone

  EXPECT_EQ(end.kind, RunEnd::Kind::SoundFailed);
  EXPECT_TRUE(end.keying);
  EXPECT_NE(end.detail.find("sound server lost"), std::string::npos) << end.detail;
}

TEST_F(KeyingTest, ForeignFilesNamedLikeATonePlayNoPart) {
  go(U"E");  // writes the tone files
  for (const char* foreign : {"DOT.WAV", "dot.wav"}) {
    std::filesystem::copy_file("Dash.wav", foreign);
  }

  testing::MonitorRecorder recorder(pulse_);
  EXPECT_EQ(go(U"sos").kind, RunEnd::Kind::Completed);
  testing::expectRecorded(recorder.stop(), testing::framesOf(testing::playOrder(U"SOS")));
}

TEST_F(KeyingTest, AServerThatStopsAnsweringEndsTheRunAndTheNextGoKeysOnceItIsBack) {
  player_.atPlay[3] = [this] { pulse_.pauseDaemon(); };
  const auto started = std::chrono::steady_clock::now();
  const RunEnd end =
      go(U"T", true);  // ends once the deadline has passed, not when the server wakes
  const auto waited = std::chrono::steady_clock::now() - started;
  pulse_.resumeDaemon();

  EXPECT_EQ(end.kind, RunEnd::Kind::SoundFailed);
  EXPECT_TRUE(end.notResponding);
  EXPECT_NE(end.detail.find("the sound server is not responding"), std::string::npos) << end.detail;
  EXPECT_LT(waited, kServerAnswerTimeout + std::chrono::seconds(2));

  player_.atPlay.clear();
  testing::MonitorRecorder recorder(pulse_);
  EXPECT_EQ(go(U"T").kind, RunEnd::Kind::Completed);
  testing::expectRecorded(recorder.stop(), testing::framesOf(testing::playOrder(U"T")));
}

}  // namespace
}  // namespace bitoner
