// SPDX-License-Identifier: GPL-3.0-or-later
#include "grab/downconverter.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

namespace bitoner::grab {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// The output rate is at least this many times the band kept, so the filter has room to fall
// between the band's edge and the first frequency that folds onto it.
constexpr double kOutputRateOverBand = 1.5;
// A Blackman window's transition is about this many input rates over its length; it stops more
// than 70 dB.
constexpr double kBlackmanTransition = 5.5;
// The mixer's phasor is put back on the unit circle this often, against rounding drift.
constexpr std::int64_t kRenormaliseEvery = 1024;

}  // namespace

Downconverter::Downconverter(double sampleRateHz, double centreHz, double passHz)
    : rateHz_(sampleRateHz), turn_(std::polar(1.0, -kTwoPi * centreHz / sampleRateHz)) {
  decimation_ = std::max(1, static_cast<int>(std::floor(rateHz_ / (kOutputRateOverBand * passHz))));
  if (decimation_ == 1) {
    return;
  }
  const double outRate = rateHz_ / decimation_;
  const double transitionHz = outRate - passHz;
  auto length = static_cast<std::size_t>(std::ceil(kBlackmanTransition * rateHz_ / transitionHz));
  length |= 1U;  // odd, so the filter has a centre tap
  const double cutoff = outRate / 2.0 / rateHz_;
  taps_.resize(length);
  const double middle = static_cast<double>(length - 1) / 2.0;
  for (std::size_t k = 0; k < length; ++k) {
    const double x = static_cast<double>(k) - middle;
    const double sinc =
        x == 0.0 ? 2.0 * cutoff : std::sin(kTwoPi * cutoff * x) / (std::numbers::pi * x);
    const double w = static_cast<double>(k) / static_cast<double>(length - 1);
    const double blackman = 0.42 - 0.5 * std::cos(kTwoPi * w) + 0.08 * std::cos(2.0 * kTwoPi * w);
    taps_[k] = static_cast<float>(sinc * blackman);
  }
  const float sum = std::accumulate(taps_.begin(), taps_.end(), 0.0F);
  for (float& tap : taps_) {
    tap /= sum;
  }
  history_.assign(2 * length, {});
  // The history starts as half a filter of silence, and the first output is due when its centre
  // tap reaches input 0: output j is then centred on input j * decimation.
  const auto half = static_cast<std::int64_t>(length / 2);
  pushed_ = half;
  at_ = static_cast<std::size_t>(half);
  nextOutput_ = 2 * half;
}

void Downconverter::push(std::complex<float> mixed, std::vector<std::complex<float>>& out) {
  const std::size_t length = taps_.size();
  history_[at_] = history_[at_ + length] = mixed;
  at_ = (at_ + 1) % length;
  if (pushed_++ != nextOutput_) {
    return;
  }
  nextOutput_ += decimation_;
  // history_[at_ .. at_ + length) holds the last `length` inputs, oldest first.
  const std::complex<float>* x = history_.data() + at_;
  float re = 0.0F;
  float im = 0.0F;
  for (std::size_t k = 0; k < length; ++k) {
    re += taps_[k] * x[k].real();
    im += taps_[k] * x[k].imag();
  }
  out.emplace_back(re, im);
}

void Downconverter::feed(std::span<const std::complex<float>> samples,
                         std::vector<std::complex<float>>& out) {
  for (const std::complex<float> sample : samples) {
    const std::complex<double> mixed = std::complex<double>(sample) * mixer_;
    mixer_ *= turn_;
    if (++mixed_ % kRenormaliseEvery == 0) {
      mixer_ /= std::abs(mixer_);
    }
    const std::complex<float> value(static_cast<float>(mixed.real()),
                                    static_cast<float>(mixed.imag()));
    if (decimation_ == 1) {
      out.push_back(value);
    } else {
      push(value, out);
    }
  }
}

void Downconverter::finish(std::vector<std::complex<float>>& out) {
  for (std::size_t k = 0; k < taps_.size() / 2; ++k) {
    push({}, out);
  }
}

}  // namespace bitoner::grab
