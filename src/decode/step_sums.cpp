// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/step_sums.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace bitoner::decode {

namespace {
constexpr double kTwoPi = 2.0 * std::numbers::pi;
}

StepSums::StepSums(double sampleRateHz, std::vector<double> toneHz, std::int64_t blockFrames)
    : blockFrames_(blockFrames),
      mixers_(toneHz.size()),
      blockTurns_(toneHz.size()),
      partial_(toneHz.size()),
      sums_(toneHz.size()) {
  for (std::size_t t = 0; t < toneHz.size(); ++t) {
    const double cyclesPerFrame = toneHz[t] / sampleRateHz;
    mixers_[t].resize(static_cast<std::size_t>(blockFrames_));
    for (std::int64_t k = 0; k < blockFrames_; ++k) {
      mixers_[t][static_cast<std::size_t>(k)] = std::polar(
          1.0F,
          static_cast<float>(-kTwoPi * std::fmod(cyclesPerFrame * static_cast<double>(k), 1.0)));
    }
    blockTurns_[t] = std::fmod(cyclesPerFrame * static_cast<double>(blockFrames_), 1.0);
  }
}

void StepSums::feed(std::span<const std::complex<float>> samples) {
  std::size_t at = 0;
  while (at < samples.size()) {
    const auto run = std::min<std::size_t>(samples.size() - at,
                                           static_cast<std::size_t>(blockFrames_ - inBlock_));
    for (std::size_t t = 0; t < mixers_.size(); ++t) {
      // Plain real arithmetic: std::complex's product checks for infinities on every sample.
      const std::complex<float>* mixer = mixers_[t].data() + inBlock_;
      float re = 0.0F;
      float im = 0.0F;
      for (std::size_t k = 0; k < run; ++k) {
        const float xr = samples[at + k].real();
        const float xi = samples[at + k].imag();
        const float mr = mixer[k].real();
        const float mi = mixer[k].imag();
        re += xr * mr - xi * mi;
        im += xr * mi + xi * mr;
      }
      partial_[t] += std::complex<double>(re, im);
    }
    at += run;
    inBlock_ += static_cast<std::int64_t>(run);
    if (inBlock_ == blockFrames_) {
      finishBlock();
    }
  }
}

void StepSums::finishBlock() {
  for (std::size_t t = 0; t < mixers_.size(); ++t) {
    // The mixer restarts every block; this turns each block's sum to the phase it has in the
    // whole recording.
    const double turns = std::fmod(blockTurns_[t] * static_cast<double>(blocks_), 1.0);
    sums_[t].push_back(std::complex<float>(partial_[t] * std::polar(1.0, -kTwoPi * turns)));
    partial_[t] = 0.0;
  }
  inBlock_ = 0;
  ++blocks_;
}

}  // namespace bitoner::decode
