// SPDX-License-Identifier: GPL-3.0-or-later
// The one keyer: what its observer hears and when, how it stops, and a steady tone. The steps'
// own order is checked with the keying steps and through the window's run controller.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/keying_steps.h"
#include "keying/keyer.h"

namespace bitoner {
namespace {

class LoopedText : public KeyingInput {
 public:
  explicit LoopedText(std::u32string text) : text_(std::move(text)) {}
  std::size_t messageLength() const override { return text_.size(); }
  char32_t messageAt(std::size_t index) const override { return text_.at(index); }
  bool loop() const override { return true; }

 private:
  std::u32string text_;
};

// Writes down the sink's tones and the observer's calls as short words, in the order they come.
class Transcript : public ToneSink, public KeyingObserver {
 public:
  void play(Tone tone) override { words.emplace_back(toneFileName(tone)); }
  void stretchAhead(std::int64_t frames) override { words.push_back(std::to_string(frames)); }
  void passStarted(std::int32_t pass) override { words.push_back("pass" + std::to_string(pass)); }
  void characterStarted(const KeyingStep& step) override {
    words.push_back("char" + std::to_string(step.position));
  }
  void loopIdleStarted() override { words.emplace_back("loop idle"); }
  void shown(char symbol) override { words.push_back(std::string("+") + symbol); }
  void cleared() override { words.emplace_back("clear"); }
  bool goOn() override {
    words.emplace_back("check");
    return --boundariesLeft > 0;
  }

  int boundariesLeft = 1000;
  std::vector<std::string> words;
};

// 10 ms symbols and 5 ms gaps at 1000 Hz: 10 and 5 frames.
const ToneBank& tones() {
  static const ToneBank bank(ToneInputs{.idleHz = 100.0,
                                        .dotHz = 200.0,
                                        .dashHz = 300.0,
                                        .Fsample = 1000,
                                        .SymbolLength = 0.01,
                                        .InterSymbol = 0.005,
                                        .Ampl = 1000.0});
  return bank;
}

TEST(KeyerTest, TellsTheStretchAheadThenEachStepAndStopsBeforeTheNextPass) {
  const LoopedText input(U"E");
  KeyingSteps steps(input);
  Transcript t;
  EXPECT_EQ(Keyer(tones(), t, t).run(steps, 2), KeyingEnd::Completed);
  const std::vector<std::string> pass1{
      "15", "pass1", "char1",    "Dot.wav",   "+.",       "InterSymb.wav", "check",
      "35", "+ ",    "Idle.wav", "loop idle", "Idle.wav", "clear"};
  ASSERT_GE(t.words.size(), pass1.size());
  EXPECT_EQ(std::vector(t.words.begin(), t.words.begin() + 13), pass1);
  // The second pass, then nothing of the third but the stretch that was looked at.
  EXPECT_EQ(std::count(t.words.begin(), t.words.end(), "Dot.wav"), 2);
  EXPECT_EQ(std::count(t.words.begin(), t.words.end(), "clear"), 2);
  EXPECT_EQ(t.words.back(), "clear");
}

TEST(KeyerTest, AnObserverEndsTheRunAtABoundary) {
  const LoopedText input(U"EE");
  KeyingSteps steps(input);
  Transcript t;
  t.boundariesLeft = 1;
  EXPECT_EQ(Keyer(tones(), t, t).run(steps), KeyingEnd::Ended);
  EXPECT_EQ(t.words.back(), "check");
  EXPECT_EQ(std::count(t.words.begin(), t.words.end(), "Dot.wav"), 1);
}

TEST(KeyerTest, ASteadyToneIsTheIdleToneWithABoundaryAfterEach) {
  SteadyTone steady;
  Transcript t;
  t.boundariesLeft = 3;
  EXPECT_EQ(Keyer(tones(), t, t).run(steady), KeyingEnd::Ended);
  EXPECT_EQ(t.words, (std::vector<std::string>{"10", "Idle.wav", "check", "10", "Idle.wav", "check",
                                               "10", "Idle.wav", "check"}));
}

}  // namespace
}  // namespace bitoner
