// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "decode/decoder.h"

namespace bitoner::decode {

// A character read from a live recording once it is decided.
struct LiveCharacter {
  char32_t character = 0;
  bool spaceBefore = false;   // a word ended before it
  bool lineBefore = false;    // it begins a transmission after an earlier one
  double startSeconds = 0.0;  // from the start of the session
  double confidence = 0.0;
  double offsetHz = 0.0;
  double snrDb = 0.0;
};

// Decodes a recording as it comes in: keeps a window of the latest samples, decodes it again as
// it moves on, and hands out each character once it is decided (about ten symbols after it
// ended), never twice, each transmission's first marked as such.
class LiveDecoder {
 public:
  // Throws SettingsError for settings the decoder refuses.
  explicit LiveDecoder(const DecoderSettings& settings);

  // Adds samples that follow the ones before; the characters decided since the last call.
  std::vector<LiveCharacter> feed(std::span<const std::complex<float>> samples);
  // At the end of the session: every character still undecided.
  std::vector<LiveCharacter> finish() { return decide(true); }
  // When the recording breaks off (a lost sound server): every character still undecided; what
  // is fed next is a new stretch that does not follow on from it, and its first character has
  // no space before it.
  std::vector<LiveCharacter> breakOff();

 private:
  std::vector<LiveCharacter> decide(bool final);

  DecoderSettings settings_;
  std::size_t windowFrames_ = 0;
  std::size_t intervalFrames_ = 0;
  std::deque<std::complex<float>> window_;
  std::int64_t firstFrame_ = 0;
  std::size_t sinceDecided_ = 0;
  double decidedUntil_ = 0.0;  // seconds into the session
  bool spacePending_ = false;
  bool decidedAny_ = false;
};

}  // namespace bitoner::decode
