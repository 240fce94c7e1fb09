// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/noise.h"
#include "engine/tone_sink.h"
#include "engine/tones.h"
#include "recording/output_file.h"

namespace bitoner {

// Noise asked for a recording: its ratio in dB within kSnrBandwidthHz and the generator's seed.
struct NoiseRequest {
  double snrDb = 0.0;
  std::uint64_t seed = 0;
};

// The noise of one render: the request, the RMS per complex sample it comes to and the scale that
// keeps the noisy frames within 16 bits (applied to signal and noise alike).
struct NoisePlan {
  double snrDb = 0.0;
  std::uint64_t seed = 0;
  double sigma = 0.0;
  double scale = 1.0;
};

// The noise in words, to follow a recording's description (empty without noise).
std::string noiseDescription(const std::optional<NoisePlan>& noise);

// The mean power of a recording's frames (sample units squared), from how often each tone is
// played in it (indexed by Tone).
double meanPower(const ToneBank& tones, const std::array<std::int64_t, 4>& plays);

// The frames of tones with complex white Gaussian noise added, scaled by `scale` and rounded to
// 16-bit samples, or with `floats` as 32-bit floats unrounded (full scale 1.0 = 32767), as
// interleaved little-endian I/Q. The noise is drawn in frame order from the
// seed, so the same plays give the same samples every time. Without an output it only measures:
// peak() is the largest |I| or |Q| before scaling, from which the scale that keeps every sample
// within 16 bits follows.
class NoisyFrameWriter : public ToneSink {
 public:
  NoisyFrameWriter(const ToneBank& tones, OutputFile* out, double sigma, std::uint64_t seed,
                   double scale, bool floats = false);

  void play(Tone tone) override;
  std::int64_t frames() const { return frames_; }
  double peak() const { return peak_; }

 private:
  static constexpr std::size_t kChunkFrames = 8192;

  void putSample(std::size_t index, double value);
  void putFloat(std::size_t index, double value);

  const ToneBank& tones_;
  OutputFile* out_;
  ComplexNoise noise_;
  double scale_;
  bool floats_;
  double peak_ = 0.0;
  std::int64_t frames_ = 0;
  std::array<std::int16_t, kChunkFrames * kChannels> chunk_{};
  std::array<float, kChunkFrames * kChannels> floatChunk_{};
  std::array<std::uint8_t, kChunkFrames * kChannels * sizeof(float)> bytes_{};
};

// The scale that brings `peak` to at most full 16-bit scale; 1 when it already fits.
double scaleForPeak(double peak);

}  // namespace bitoner
