// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/noise.h"

#include <cmath>

namespace bitoner {

ComplexNoise::ComplexNoise(std::uint64_t seed, double sigma)
    : generator_(seed), componentSigma_(sigma / std::sqrt(2.0)) {}

double ComplexNoise::uniform() {
  constexpr int kMantissaBits = 53;
  constexpr double kUnit = 0x1p-53;
  return static_cast<double>(generator_() >> (64 - kMantissaBits)) * kUnit;
}

void ComplexNoise::next(double& i, double& q) {
  // The polar method gives a pair from each accepted point, which is exactly one complex sample.
  // It needs only a logarithm and a square root, both of which IEEE arithmetic and glibc give the
  // same on every machine for the same input.
  double u = 0.0;
  double v = 0.0;
  double s = 0.0;
  do {
    u = 2.0 * uniform() - 1.0;
    v = 2.0 * uniform() - 1.0;
    s = u * u + v * v;
  } while (s >= 1.0 || s == 0.0);
  const double factor = componentSigma_ * std::sqrt(-2.0 * std::log(s) / s);
  i = u * factor;
  q = v * factor;
}

double noiseSigmaFor(double signalPower, double snrDb, double sampleRateHz) {
  // Noise power within the reference bandwidth is signalPower / snr; white noise over the whole
  // rate holds sampleRateHz / kSnrBandwidthHz times as much.
  const double snr = std::pow(10.0, snrDb / 10.0);
  return std::sqrt(signalPower / snr * sampleRateHz / kSnrBandwidthHz);
}

}  // namespace bitoner
