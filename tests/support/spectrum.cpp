// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/spectrum.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numbers>
#include <stdexcept>

namespace bitoner::testing {

Spectrum::Spectrum(std::span<const std::complex<float>> samples, std::int32_t rateHz)
    : rateHz_(rateHz), dBc_(static_cast<std::size_t>(rateHz), 0.0) {
  const auto length = static_cast<std::size_t>(rateHz);
  if (samples.size() < length) {
    throw std::invalid_argument("a spectrum needs at least one second of signal");
  }
  std::vector<double> window(length);
  for (std::size_t k = 0; k < length; ++k) {
    window[k] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(k) /
                                     static_cast<double>(length));
  }
  const auto free = [](fftw_complex* p) { fftw_free(p); };
  std::unique_ptr<fftw_complex, decltype(free)> buffer(
      static_cast<fftw_complex*>(fftw_malloc(sizeof(fftw_complex) * length)), free);
  const fftw_plan plan =
      fftw_plan_dft_1d(rateHz, buffer.get(), buffer.get(), FFTW_FORWARD, FFTW_ESTIMATE);
  std::vector<double> power(length, 0.0);
  std::size_t segments = 0;
  for (std::size_t start = 0; start + length <= samples.size(); start += length / 2) {
    for (std::size_t k = 0; k < length; ++k) {
      buffer.get()[k][0] = static_cast<double>(samples[start + k].real()) * window[k];
      buffer.get()[k][1] = static_cast<double>(samples[start + k].imag()) * window[k];
    }
    fftw_execute(plan);
    for (std::size_t k = 0; k < length; ++k) {
      // Negative frequencies first.
      const std::size_t bin = (k + length / 2) % length;
      power[bin] +=
          buffer.get()[k][0] * buffer.get()[k][0] + buffer.get()[k][1] * buffer.get()[k][1];
    }
    ++segments;
  }
  fftw_destroy_plan(plan);
  const double peak = *std::max_element(power.begin(), power.end());
  constexpr double kFloor = 1e-300;
  for (std::size_t k = 0; k < length; ++k) {
    dBc_[k] = 10.0 * std::log10(std::max(power[k], kFloor) / peak);
  }
}

double Spectrum::at(double hz) const {
  const std::int64_t bin = std::lround(hz) + rateHz_ / 2;
  return dBc_.at(static_cast<std::size_t>(std::clamp<std::int64_t>(bin, 0, rateHz_ - 1)));
}

double Spectrum::worstBeyond(double lowHz, double highHz, double offsetHz) const {
  double worst = -1e300;
  for (std::size_t k = 0; k < dBc_.size(); ++k) {
    const double hz = static_cast<double>(k) - rateHz_ / 2;
    if (hz <= lowHz - offsetHz || hz >= highHz + offsetHz) {
      worst = std::max(worst, dBc_[k]);
    }
  }
  return worst;
}

double Spectrum::beyond(double lowHz, double highHz, double offsetHz) const {
  return std::max(at(lowHz - offsetHz), at(highHz + offsetHz));
}

std::vector<std::complex<float>> complexOf(std::span<const float> interleaved) {
  std::vector<std::complex<float>> samples(interleaved.size() / 2);
  for (std::size_t k = 0; k < samples.size(); ++k) {
    samples[k] = {interleaved[2 * k], interleaved[2 * k + 1]};
  }
  return samples;
}

}  // namespace bitoner::testing
