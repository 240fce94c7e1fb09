// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "decode/fft.h"
#include "engine/modes.h"

namespace bitoner::decode {

class StepSums;
class NoiseFloor;

// What the decoder knows of the keying: everything but where each transmission starts, its level,
// its phase and a frequency offset that may drift.
struct DecoderSettings {
  double sampleRateHz = 11025.0;
  Mode mode = Mode::ThreeTone;
  // The idle, dot and dash frequencies as the spectrum shows them (negative for inverted I/Q).
  // In ordinary Morse timing the dot tone is the key-down tone and the idle tone FSKCW's key up;
  // a mode's silent tones are not listened for.
  std::array<double, 3> toneHz{600.0, 1000.0, 1200.0};
  double symbolSeconds = 0.5;  // in ordinary Morse timing, the dot
  double gapSeconds = 0.05;    // not used in ordinary Morse timing
  double searchHz = 3.0;       // each transmission starts within +/- this of the tones
  // Whether `searchHz` was chosen. A search left at its default is narrowed where the tones lie
  // so close that a tone moved by it could be taken for its neighbour; one chosen is refused.
  bool searchChosen = false;
  double driftHzPerMinute = 6.0;  // the fastest the tones may move while it lasts
  // For measuring only: the signal's true amplitude over the noise RMS per sample at a time in
  // seconds, read instead of the level the decoder follows, to show what knowing it would gain.
  std::function<double(double)> knownLevel;
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
  double offsetHz = 0.0;      // the tones' offset from the settings in its middle
};

// One transmission, found on its own.
struct DecodedPass {
  std::vector<DecodedCharacter> characters;  // in order; spaces between words only
  std::string text;                          // upper case, one blank between words
  double startSeconds = 0.0;                 // where its first character begins
  double endSeconds = 0.0;                   // where its last one ends
  double startOffsetHz = 0.0;                // the tones' offset at its start
  double endOffsetHz = 0.0;                  // and at its end
  double driftHzPerMinute = 0.0;             // from one to the other
  double snrDb = 0.0;                        // signal power over noise power in 2500 Hz
};

// A steady carrier found near a tone and taken out before decoding.
struct RemovedCarrier {
  double frequencyHz = 0.0;  // as the spectrum shows it
  double symbolSnrDb = 0.0;  // its energy in one symbol over the noise's
};

struct Decoded {
  std::vector<DecodedPass> passes;           // in order of time
  std::vector<DecodedCharacter> characters;  // every pass's, in order
  std::string text;                          // one line per pass, joined by newlines
  bool found = false;                        // whether a keyed signal was found at all
  double offsetHz = 0.0;                     // the tones' offset at the first pass's start
  double snrDb = 0.0;                        // the first pass's signal over noise in 2500 Hz
  double startSeconds = 0.0;                 // where the first pass begins
  double endSeconds = 0.0;                   // where the last one ends
  double symbolSeconds = 0.0;                // the element and idle length, in whole frames
  double gapSeconds = 0.0;
  double stepSeconds = 0.0;  // the resolution of the timing search
  std::vector<RemovedCarrier> carriers;
};

// Reads two-frequency Morse out of complex samples fed in any pieces. Memory grows with the
// recording's length by the tones' short sums (a few hundred numbers a second), so hours of
// recording fit. A real signal (a receiver's audio) is fed as samples with a zero imaginary part:
// its tones at positive frequencies are read and their mirror images ignored.
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
  DecoderSettings settings_;
  std::int64_t symbolFrames_ = 0;
  std::int64_t gapFrames_ = 0;
  std::vector<double> keyedHz_;     // the tones the mode sounds
  std::int64_t blocksPerStep_ = 1;  // short sums to one step of the timing search
  double trackRangeHz_ = 0.0;       // the furthest the tones may be followed
  std::int64_t frames_ = 0;
  std::unique_ptr<StepSums> sums_;
  std::unique_ptr<NoiseFloor> noise_;
};

// The search the decoder uses for `settings`: their own, or where it was left at its default,
// narrowed so that no tone moved within it lands within it of another tone. Throws SettingsError
// for tones too close to be told apart at any search, or closer than a search chosen allows.
double searchFor(const DecoderSettings& settings);

// The longest a character lasts in the settings' mode, its pause included, in seconds.
double longestCharacterSeconds(const DecoderSettings& settings);

// The text of decoded characters: upper case, one blank between words, none at either end.
std::string textOf(const std::vector<DecodedCharacter>& characters);

}  // namespace bitoner::decode
