// SPDX-License-Identifier: GPL-3.0-or-later
// The markers the keying steps give front ends beyond what the window acts on: passes, characters
// and the Loop's extra idle symbol. The order of plays and display updates is checked through the
// window's sequencer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/keying_steps.h"

namespace bitoner {
namespace {

class TextInput : public KeyingInput {
 public:
  std::size_t messageLength() const override { return text.size(); }
  char32_t messageAt(std::size_t index) const override { return text.at(index); }
  bool loop() const override { return looping; }

  std::u32string text;
  bool looping = false;
};

// The steps until the end, or until `limit` of them, each written as a short word.
std::vector<std::string> walk(const TextInput& input, std::size_t limit = 1000,
                              Mode mode = Mode::ThreeTone) {
  std::vector<std::string> words;
  KeyingSteps steps(input, mode);
  while (const auto step = steps.next()) {
    using Kind = KeyingStep::Kind;
    switch (step->kind) {
      case Kind::PassStart:
        words.push_back("pass" + std::to_string(step->pass));
        break;
      case Kind::CharacterStart:
        words.push_back(std::to_string(step->position) + ":" + std::string(step->pattern));
        break;
      case Kind::Play:
        words.emplace_back(toneFileName(step->tone));
        break;
      case Kind::Show:
        words.push_back(std::string("+") + step->symbol);
        break;
      case Kind::ClearDisplay:
        words.emplace_back("clear");
        break;
      case Kind::Checkpoint:
        words.emplace_back("check");
        break;
      case Kind::LoopIdle:
        words.emplace_back("loop idle");
        break;
    }
    if (words.size() == limit) {
      break;
    }
  }
  return words;
}

TEST(KeyingSteps, MarkPassesCharactersAndTheLoopIdle) {
  TextInput input;
  input.text = U"Et";  // a lower-case letter typed in during a run is keyed as its capital
  EXPECT_EQ(walk(input),
            (std::vector<std::string>{"pass1", "1:0", "Dot.wav", "+.", "InterSymb.wav", "check",
                                      "+ ", "Idle.wav", "2:1", "Dash.wav", "+-", "InterSymb.wav",
                                      "check", "+ ", "Idle.wav"}));

  input.text = U"E";
  input.looping = true;
  EXPECT_EQ(walk(input, 12), (std::vector<std::string>{"pass1", "1:0", "Dot.wav", "+.",
                                                       "InterSymb.wav", "check", "+ ", "Idle.wav",
                                                       "loop idle", "Idle.wav", "clear", "pass2"}));

  // In ordinary Morse timing the passes are a word apart, as are the words: the idle comes twice.
  input.text = U" ";
  EXPECT_EQ(walk(input, 9, Mode::Qrss),
            (std::vector<std::string>{"pass1", "1:", "check", "+ ", "Idle.wav", "Idle.wav",
                                      "loop idle", "Idle.wav", "Idle.wav"}));
}

TEST(KeyingSteps, RefusalsNameCharactersWithoutAPatternAndOverlongMessages) {
  EXPECT_EQ(checkMessage(U"CQ DE TEST"), std::nullopt);
  const auto refusal = checkMessage(U"A[B\u00e9[_");
  ASSERT_TRUE(refusal.has_value());
  EXPECT_FALSE(refusal->tooLong());
  EXPECT_EQ(listCharacters(refusal->unkeyable, 2), "\"[\", \"\xC3\xA9\" and 1 more");
  EXPECT_TRUE(checkMessage(std::u32string(kMaxMessageLength + 1, U'E'))->tooLong());
  EXPECT_EQ(fromUtf8(toUtf8(U"\u00e9\U0001F600x")), U"\u00e9\U0001F600x");
  EXPECT_EQ(fromUtf8("a\xFF"), U"a\uFFFD");
}

}  // namespace
}  // namespace bitoner
