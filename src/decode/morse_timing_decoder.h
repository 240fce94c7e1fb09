// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "decode/decoder.h"

namespace bitoner::decode {

// What is known of a carrier keyed in ordinary Morse timing (QRSS: on and off; FSKCW: shifted
// between key down and key up): everything but where it starts, its level, its phase and a
// small frequency offset.
struct MorseTimingSettings {
  double sampleRateHz = 11025.0;
  double keyDownHz = 1000.0;      // as the spectrum shows it (negative for inverted I/Q)
  std::optional<double> keyUpHz;  // FSKCW's key-up tone; none for QRSS, whose key up is silence
  double dotSeconds = 3.0;
  double searchHz = 3.0;  // the offset is looked for within +/- this
};

// Reads QRSS and FSKCW out of complex samples fed in any pieces. Ordinary Morse timing puts every
// element and pause on a grid of whole dots, so the reading goes:
//  1. the recording is mixed down at each tone and summed over short steps (a fraction of a dot);
//  2. the offset is where dot-long sums of those steps hold the most energy;
//  3. the dot grid is where the dots' energies differ most from one slot to the next;
//  4. each slot's likelihood of key down against key up comes from its energy, the noise taken
//     from how the steps vary from one to the next and the level from the loudest slots;
//  5. a search over whole characters and the pauses between them finds the likeliest reading,
//     each character's confidence its share of every way on from where it starts.
class MorseTimingDecoder {
 public:
  // Throws SettingsError for settings no signal can be decoded with.
  explicit MorseTimingDecoder(const MorseTimingSettings& settings);

  void feed(std::span<const std::complex<float>> samples);

  // Decodes everything fed so far.
  Decoded decode() const;

 private:
  // One tone's mix-down: its phase turning per frame and the sums of the steps so far.
  struct Mixer {
    std::complex<double> turn;  // per frame
    std::complex<double> phasor{1.0, 0.0};
    std::complex<double> partial{};
    std::vector<std::complex<double>> steps;
  };

  MorseTimingSettings settings_;
  std::int64_t dotFrames_ = 0;
  std::int64_t stepFrames_ = 0;
  std::int64_t stepsPerDot_ = 0;
  std::vector<Mixer> mixers_;  // key down, then key up for FSKCW
  std::int64_t inStep_ = 0;
};

}  // namespace bitoner::decode
