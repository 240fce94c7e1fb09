// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode/fft.h"

namespace bitoner::decode {

// What the decoder knows of the keying: everything but where it starts, its level, its phase and
// a small frequency offset.
struct DecoderSettings {
  double sampleRateHz = 11025.0;
  // The idle, dot and dash frequencies as the spectrum shows them (negative for inverted I/Q).
  std::array<double, 3> toneHz{600.0, 1000.0, 1200.0};
  double symbolSeconds = 0.5;
  double gapSeconds = 0.05;
  double searchHz = 3.0;  // the offset is looked for within +/- this
};

// Settings the decoder cannot work with; what() says which and why, in the options' terms.
class SettingsError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// One character read, or a word space (' '); '?' where no character could be told with
// confidence.
struct DecodedCharacter {
  char32_t character = 0;
  std::string pattern;        // the elements read, "0" a dot and "1" a dash; empty for a space
  double startSeconds = 0.0;  // from the start of the recording
  double seconds = 0.0;       // its length, the idle symbol after it included
  double confidence = 0.0;    // 0..1: how much likelier this reading is than all others together
};

struct Decoded {
  std::vector<DecodedCharacter> characters;  // in order; spaces between words only
  std::string text;                          // upper case, one blank between words
  bool found = false;                        // whether a keyed signal was found at all
  double offsetHz = 0.0;                     // the tones' offset from the settings
  double snrDb = 0.0;                        // signal power over noise power in 2500 Hz
  double startSeconds = 0.0;                 // where the first character begins
  double endSeconds = 0.0;                   // where the last one ends
  double symbolSeconds = 0.0;                // the element and idle length, in whole frames
  double gapSeconds = 0.0;
  double stepSeconds = 0.0;  // the resolution of the timing search
};

// Reads two-frequency Morse out of complex samples fed in any pieces. Memory grows with the
// recording's length only by a few numbers per step of the timing search, so hours of recording
// fit. A real signal (a receiver's audio) is fed as samples with a zero imaginary part: its tones
// at positive frequencies are read and their mirror images ignored.
class Decoder {
 public:
  // Throws SettingsError for settings no signal can be decoded with.
  explicit Decoder(const DecoderSettings& settings);
  ~Decoder();
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  void feed(std::span<const std::complex<float>> samples);

  // Decodes everything fed so far.
  Decoded decode() const;

  std::int64_t framesFed() const { return frames_; }
  double sampleRateHz() const { return settings_.sampleRateHz; }

 private:
  void finishBlock();

  DecoderSettings settings_;
  std::int64_t symbolFrames_ = 0;
  std::int64_t gapFrames_ = 0;
  std::int64_t blockFrames_ = 0;  // samples summed into one step of the timing search
  std::array<std::vector<std::complex<float>>, 3> mixers_;  // per tone, over one block
  std::array<double, 3> blockTurns_{};  // each tone's phase advance per block, in cycles
  std::array<std::complex<double>, 3> partial_{};
  std::int64_t inBlock_ = 0;
  std::int64_t blocks_ = 0;
  std::int64_t frames_ = 0;
  std::array<std::vector<std::complex<double>>, 3> toneBlocks_;  // per tone: one sum per block

  // The noise floor: power in bins away from the tones, from short spectra.
  struct NoiseFloor;
  std::unique_ptr<NoiseFloor> noise_;
};

// The text of decoded characters: upper case, one blank between words, none at either end.
std::string textOf(const std::vector<DecodedCharacter>& characters);

}  // namespace bitoner::decode
