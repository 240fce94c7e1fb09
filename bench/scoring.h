// SPDX-License-Identifier: GPL-3.0-or-later
// The decoding benchmarks' own random numbers, unrelated to the noise render --snr draws.
#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>

namespace bitoner {

// SplitMix64: a generator unrelated to the Mersenne Twister that render --snr uses.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
  }
  double uniform() { return static_cast<double>(next() >> 11U) * 0x1p-53; }  // [0, 1)
  std::size_t below(std::size_t n) {
    return static_cast<std::size_t>(uniform() * static_cast<double>(n));
  }
  // A complex normal sample of unit power by Box-Muller's trigonometric form.
  std::complex<double> gaussian() {
    const double u = 1.0 - uniform();  // (0, 1]
    const double radius = std::sqrt(-std::log(u));
    return std::polar(radius, 2.0 * std::numbers::pi * uniform());
  }

 private:
  std::uint64_t state_;
};

}  // namespace bitoner
