// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

#include "decode/fft.h"

namespace bitoner::decode {

// The noise power of a recording, from the bins of short spectra in the band around the tones
// but clear of where they may be. The median of the bins' powers, so carriers and other stations
// in a few bins do not raise it. Keeps a bounded number of powers, so hours of recording fit.
class NoiseFloor {
 public:
  // Bins within `clearHz` of any tone are left out.
  NoiseFloor(double sampleRateHz, std::span<const double> toneHz, double clearHz);

  void feed(std::span<const std::complex<float>> samples);

  bool empty() const { return powers_.empty(); }
  // The noise power per complex sample; 0 while no spectrum is complete.
  double samplePower() const;

 private:
  void addSpectrum();

  Transform transform_;
  std::vector<std::int64_t> bins_;
  std::vector<double> window_;
  double windowPower_ = 0.0;
  std::vector<std::complex<float>> input_;
  std::int64_t fill_ = 0;
  std::int64_t spectra_ = 0;
  int thinning_ = 0;
  std::vector<float> powers_;
};

// The median of `values`, 0 for none.
double median(std::vector<float> values);

}  // namespace bitoner::decode
