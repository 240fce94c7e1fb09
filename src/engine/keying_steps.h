// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/patterns.h"
#include "engine/tones.h"

namespace bitoner {

// The position counter is a signed 16-bit count, so no longer message can be keyed.
inline constexpr std::size_t kMaxMessageLength = 32767;

// What the keying steps read while a run goes on. The message is read again at every position,
// so an edit made during a run counts at the positions not yet sent; Loop is read at the end of
// every pass.
class KeyingInput {
 public:
  virtual ~KeyingInput() = default;
  virtual std::size_t messageLength() const = 0;
  // The character at a 0-based index below messageLength().
  virtual char32_t messageAt(std::size_t index) const = 0;
  virtual bool loop() const = 0;
};

// One thing a front end does during a run. The front ends differ only in which kinds they act on:
// a sound output acts on Play, a display on Show and ClearDisplay, a window on Checkpoint.
struct KeyingStep {
  enum class Kind : std::uint8_t {
    PassStart,       // a pass over the message begins; `pass` counts from 1
    CharacterStart,  // the character at `position` (from 1) begins: `character` (0 where the
                     // message has become shorter than the position) and its `pattern`
    Play,            // the tone `tone`, straight after what was played before it
    Show,            // the pattern display gains `symbol`: '.', '-' or ' '
    ClearDisplay,    // the pattern display is emptied (between passes of a Loop)
    Checkpoint,      // waiting input is handled here; the run ends here if it was asked to stop
    LoopIdle,        // the extra idle symbol between two passes of a Loop follows
  };

  Kind kind = Kind::Play;
  Tone tone = Tone::Idle;
  char symbol = 0;
  std::int32_t pass = 0;
  std::int32_t position = 0;
  char32_t character = 0;
  std::string_view pattern;  // "0" a dot, "1" a dash; points into the pattern table
};

// Where a run's steps come from, pulled one at a time by the keyer. A way of keying is a source of
// steps: the message's (KeyingSteps), a steady tone's, and whatever a mode adds.
class StepSource {
 public:
  virtual ~StepSource() = default;
  // The next step, or nothing once the run is complete.
  virtual std::optional<KeyingStep> next() = 0;
};

// The steps of a keying run, pulled one at a time, in the order that sends the message: for every
// element its tone, its symbol, the gap and a checkpoint; after every character a blank and an idle
// symbol; with Loop an idle symbol more and a cleared display between passes. A character without
// elements (and an empty pass with Loop) still gets its checkpoint, so that any run can be stopped.
class KeyingSteps : public StepSource {
 public:
  explicit KeyingSteps(const KeyingInput& input);

  // The next step, or nothing once the run is complete (never, while Loop stays set).
  std::optional<KeyingStep> next() override;

 private:
  void planPass();
  void planCharacter();
  void planPassEnd();
  void push(KeyingStep step) { queue_.push_back(step); }

  const KeyingInput& input_;
  PatternTable CWcode;
  std::vector<KeyingStep> queue_;
  std::size_t head_ = 0;
  std::int32_t pass_ = 0;
  std::int16_t passLength_ = 0;
  std::int32_t position_ = 0;  // the last position planned, from 1
  bool done_ = false;
};

// The capital a lower-case ASCII letter is keyed as; any other character is itself.
constexpr char32_t upperCase(char32_t c) {
  return (c >= U'a' && c <= U'z') ? c - (U'a' - U'A') : c;
}

// Whether a character (after upper-casing) has an entry in the pattern table.
constexpr bool hasPattern(char32_t c) { return c < static_cast<char32_t>(kPatternCodes); }

// The pattern keyed for a character during a run: its capital's entry; a character without an
// entry is keyed like an empty pattern.
std::string_view patternFor(const PatternTable& CWcode, char32_t c);

// Why a message cannot be keyed, for a front end to put into its own words.
struct MessageRefusal {
  std::size_t length = 0;           // the message's length in characters
  std::vector<char32_t> unkeyable;  // characters without a pattern, in order of first appearance

  bool tooLong() const { return length > kMaxMessageLength; }
};

// Checks an upper-cased message before a run: too long, or holding characters without a pattern.
std::optional<MessageRefusal> checkMessage(std::u32string_view message);

// A character as a person can recognise it in a message: quoted ("A"), or by its code point
// (U+0009) where it would show as nothing or as a blank.
std::string describeCharacter(char32_t c);

// How many distinct unkeyable characters a refusal names before it only counts the rest.
inline constexpr std::size_t kMaxNamedCharacters = 10;

// The refusal's characters, described and separated by ", ", at most `most` of them named and
// the rest counted (" and 3 more").
std::string listCharacters(const std::vector<char32_t>& characters,
                           std::size_t most = kMaxNamedCharacters);

// UTF-8 and back, for front ends that hold text as bytes. Invalid bytes read as U+FFFD.
std::string toUtf8(std::u32string_view text);
std::u32string fromUtf8(std::string_view text);

}  // namespace bitoner
