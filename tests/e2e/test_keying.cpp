// SPDX-License-Identifier: GPL-3.0-or-later
// GO through the real sequencer and the real PulseAudio player into a private sound server: the
// sink must receive the tone files' frames in Morse order, bit for bit, as one unbroken signal.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/sequencer.h"
#include "sound/pulse_player.h"
#include "support/plain_window.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

// GO writes the tone files into the working directory. The window is at the defaults but for a
// short symbol.
class KeyingTest : public ::testing::Test {
 protected:
  KeyingTest() {
    window_.writeBox(Box::SymbLen, "0.04");  // 441 frames; the 10 % gap is 44 frames
  }

  testing::TempWorkDir dir_;
  testing::PrivatePulse pulse_;
  testing::PlainWindow window_;
  PulsePlayer player_;
  Sequencer sequencer_{window_, player_};
};

TEST_F(KeyingTest, SosReachesTheSinkAsTheToneFilesInMorseOrder) {
  window_.text = U"sos";
  testing::MonitorRecorder recorder(pulse_);
  sequencer_.Command1_Click();
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_TRUE(window_.reports.empty()) << window_.reports.front();
  EXPECT_EQ(window_.pattern, "... --- ... ");
  EXPECT_FALSE(window_.keying);
  EXPECT_EQ(testing::readWavSamples("Dot.wav").size(), 441U * 2);
  testing::expectRecorded(recording, testing::framesOf(testing::playOrder(U"SOS")));
}

TEST_F(KeyingTest, LoopPassesJoinWithoutAGapUntilStop) {
  window_.text = U"E";
  window_.loop = true;
  window_.atEvents[3] = [this] { sequencer_.Stp_Click(); };
  testing::MonitorRecorder recorder(pulse_);
  sequencer_.Command1_Click();
  const std::vector<std::int16_t> recording = recorder.stop();

  EXPECT_TRUE(window_.reports.empty()) << window_.reports.front();
  EXPECT_EQ(window_.params.abort, kFalse);
  // Each pass: dot, gap, idle; between passes one idle more; the third pass stops after its gap.
  const std::vector<std::string> order{"Dot.wav", "InterSymb.wav", "Idle.wav", "Idle.wav",
                                       "Dot.wav", "InterSymb.wav", "Idle.wav", "Idle.wav",
                                       "Dot.wav", "InterSymb.wav"};
  testing::expectRecorded(recording, testing::framesOf(order));
}

TEST_F(KeyingTest, ALostServerEndsALoopRunWithTheReason) {
  window_.text = U"T";
  window_.loop = true;
  window_.atEvents[2] = [this] { pulse_.killDaemon(); };
  sequencer_.Command1_Click();  // returns instead of keying on into a server that is gone

  ASSERT_EQ(window_.reports.size(), 1U);
  EXPECT_NE(window_.reports[0].find("sound server lost"), std::string::npos) << window_.reports[0];
  EXPECT_FALSE(window_.keying);
  EXPECT_EQ(window_.params.abort, kFalse);
}

TEST_F(KeyingTest, ForeignFilesNamedLikeATonePlayNoPart) {
  window_.text = U"E";
  sequencer_.Command1_Click();  // writes the tone files
  for (const char* foreign : {"DOT.WAV", "dot.wav"}) {
    std::filesystem::copy_file("Dash.wav", foreign);
  }

  window_.text = U"sos";
  testing::MonitorRecorder recorder(pulse_);
  sequencer_.Command1_Click();
  EXPECT_TRUE(window_.reports.empty()) << window_.reports.front();
  testing::expectRecorded(recorder.stop(), testing::framesOf(testing::playOrder(U"SOS")));
}

TEST_F(KeyingTest, AServerThatStopsAnsweringEndsTheRunAndTheNextGoKeysOnceItIsBack) {
  window_.text = U"T";
  window_.loop = true;
  window_.atEvents[2] = [this] { pulse_.pauseDaemon(); };
  const auto go = std::chrono::steady_clock::now();
  sequencer_.Command1_Click();  // returns once the deadline has passed, not when the server wakes
  const auto waited = std::chrono::steady_clock::now() - go;
  pulse_.resumeDaemon();

  ASSERT_EQ(window_.reports.size(), 1U);
  EXPECT_NE(window_.reports[0].find("the sound server is not responding"), std::string::npos)
      << window_.reports[0];
  EXPECT_FALSE(window_.keying);
  EXPECT_LT(waited, kServerAnswerTimeout + std::chrono::seconds(2));

  window_.reports.clear();
  window_.loop = false;
  window_.atEvents.clear();
  testing::MonitorRecorder recorder(pulse_);
  sequencer_.Command1_Click();
  EXPECT_TRUE(window_.reports.empty()) << window_.reports.front();
  testing::expectRecorded(recorder.stop(), testing::framesOf(testing::playOrder(U"T")));
}

}  // namespace
}  // namespace bitoner
