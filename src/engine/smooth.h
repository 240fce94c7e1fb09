// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "engine/tones.h"

namespace bitoner {

// The frames of one transmission keyed smooth, made in the order they are sent. One phase runs
// through all tones; a tone whose frequency differs from the one sounding glides to it over its
// first glideFrames frames on a raised cosine, so each element still starts and ends on the
// frame where the same tone starts and ends with hard keying and sounds at its own frequency in
// its middle. The level rises over the first rampFrames frames of the transmission and falls
// over rampFrames frames added after the last tone (rampOut()). A silent tone keys the carrier
// off: the level falls over its first rampFrames frames at the frequency reached, and rises again
// over the first rampFrames frames of the next tone that sounds, which starts at its own
// frequency when nothing sounded before it. The level is flat elsewhere.
// Not thread-safe: one sender at a time.
class SmoothSynth {
 public:
  SmoothSynth(const ToneBank& tones, SmoothShape shape);

  // The next frames are those of a play of `tone`; returns its length in frames.
  std::int64_t begin(Tone tone);
  // The next frames fall to silence at the frequency reached; returns how many there are.
  std::int64_t rampOut();

  // The next out.size() / 2 frames, interleaved I, Q: rounded to 16 bits as the tones are, or
  // before rounding, scaled to kFloatFullScale.
  void render(std::span<std::int16_t> out);
  void render(std::span<float> out);

  // The phase reached, in cycles (0 to 1), and the step of the last frame, in cycles per frame.
  double phase() const { return phase_; }
  double step() const { return step_; }

 private:
  // The next frame before rounding, in sample units.
  void next(double& i, double& q);
  // The key's level (0 up, 1 down) for the next frame.
  double keyLevel() const;

  std::array<double, kTones.size()> steps_{};  // indexed by Tone
  std::array<std::int64_t, kTones.size()> frames_{};
  std::array<bool, kTones.size()> silent_{};
  double amplitude_;
  double qSign_;
  SmoothShape shape_;
  double phase_ = 0.0;  // cycles, kept within 0..1 so that long runs lose no precision
  double step_ = 0.0;
  double glideFrom_ = 0.0;
  double glideTo_ = 0.0;
  std::int64_t glideAt_ = 0;
  std::int64_t sent_ = 0;        // frames since the transmission started
  std::int64_t rampOutAt_ = -1;  // frames into the final fall; -1 before it
  double keyFrom_ = 1.0;
  double keyTo_ = 1.0;
  std::int64_t keyAt_ = 0;  // frames into the key's last move; rampFrames once it is over
  bool started_ = false;
};

}  // namespace bitoner
