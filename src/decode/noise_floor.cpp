// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/noise_floor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace bitoner::decode {

namespace {

// Spectra of about this many hertz per bin, in the band this far around the tones; at most this
// many bin powers are kept (every other one is dropped when full).
constexpr double kNoiseBinHz = 20.0;
constexpr double kNoiseBandMarginHz = 300.0;
constexpr std::size_t kMaxNoisePowers = std::size_t{1} << 18;
constexpr std::size_t kFewestBins = 4;

std::int64_t spectrumSize(double rate) {
  return std::clamp<std::int64_t>(nextPowerOfTwo(static_cast<std::int64_t>(rate / kNoiseBinHz)), 64,
                                  std::int64_t{1} << 16);
}

}  // namespace

double median(std::vector<float> values) {
  if (values.empty()) {
    return 0.0;
  }
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

NoiseFloor::NoiseFloor(double sampleRateHz, std::span<const double> toneHz, double clearHz)
    : transform_(spectrumSize(sampleRateHz)) {
  const std::int64_t size = transform_.size();
  const double binHz = sampleRateHz / static_cast<double>(size);
  const auto [lowest, highest] = std::minmax_element(toneHz.begin(), toneHz.end());
  std::vector<std::int64_t> near;
  std::vector<std::int64_t> anywhere;
  for (std::int64_t k = 0; k < size; ++k) {
    const double f = static_cast<double>(k < size / 2 ? k : k - size) * binHz;
    bool clear = true;
    for (const double tone : toneHz) {
      clear = clear && std::fabs(f - tone) > clearHz + 3.0 * binHz;
    }
    if (clear) {
      anywhere.push_back(k);
      if (f > *lowest - kNoiseBandMarginHz && f < *highest + kNoiseBandMarginHz) {
        near.push_back(k);
      }
    }
  }
  bins_ = near.size() >= kFewestBins ? near : anywhere;
  window_.resize(static_cast<std::size_t>(size));
  for (std::int64_t k = 0; k < size; ++k) {
    const double w = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (static_cast<double>(k) + 0.5) /
                                          static_cast<double>(size));
    window_[static_cast<std::size_t>(k)] = w;
    windowPower_ += w * w;
  }
  input_.resize(static_cast<std::size_t>(size));
}

void NoiseFloor::feed(std::span<const std::complex<float>> samples) {
  for (const std::complex<float> sample : samples) {
    input_[static_cast<std::size_t>(fill_++)] = sample;
    if (fill_ == transform_.size()) {
      fill_ = 0;
      addSpectrum();
    }
  }
}

void NoiseFloor::addSpectrum() {
  for (std::int64_t k = 0; k < transform_.size(); ++k) {
    const auto at = static_cast<std::size_t>(k);
    transform_.set(k, std::complex<double>(input_[at]) * window_[at]);
  }
  transform_.execute();
  if (powers_.size() + bins_.size() > kMaxNoisePowers) {
    // Every other value, so the floor still comes from the whole recording.
    std::size_t kept = 0;
    for (std::size_t k = 0; k < powers_.size(); k += 2) {
      powers_[kept++] = powers_[k];
    }
    powers_.resize(kept);
    ++thinning_;
  }
  if (spectra_++ % (std::int64_t{1} << thinning_) == 0) {
    for (const std::int64_t bin : bins_) {
      powers_.push_back(static_cast<float>(transform_.power(bin)));
    }
  }
}

// The median of exponentially distributed bin powers is ln 2 times their mean.
double NoiseFloor::samplePower() const {
  return median(powers_) / std::numbers::ln2 / windowPower_;
}

}  // namespace bitoner::decode
