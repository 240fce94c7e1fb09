// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

namespace bitoner::testing {

// The power spectrum of an I/Q signal at 1 Hz resolution, averaged over the whole signal:
// one-second Hann-windowed segments overlapping by half (by FFTW), in dB below its highest bin.
// Bin k holds k - rateHz / 2 Hz, negative frequencies first.
class Spectrum {
 public:
  Spectrum(std::span<const std::complex<float>> samples, std::int32_t rateHz);

  // The level at `hz` (rounded to the nearest bin), in dBc.
  double at(double hz) const;
  // The highest level at `offsetHz` or more beyond the band lowHz .. highHz, in dBc.
  double worstBeyond(double lowHz, double highHz, double offsetHz) const;
  // The level `offsetHz` beyond the band on either side, whichever is higher, in dBc.
  double beyond(double lowHz, double highHz, double offsetHz) const;

  const std::vector<double>& dBc() const { return dBc_; }
  std::int32_t rateHz() const { return rateHz_; }

 private:
  std::int32_t rateHz_;
  std::vector<double> dBc_;
};

// Interleaved I, Q samples as complex numbers.
std::vector<std::complex<float>> complexOf(std::span<const float> interleaved);

}  // namespace bitoner::testing
