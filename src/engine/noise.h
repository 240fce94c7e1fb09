// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <random>

namespace bitoner {

// The bandwidth a signal-to-noise ratio is stated in, as receivers and decoders usually quote it.
inline constexpr double kSnrBandwidthHz = 2500.0;

// Complex white Gaussian noise that is the same for a seed on every build and machine: a named
// generator (std::mt19937_64, whose sequence the standard fixes) and our own normal transform
// (Marsaglia's polar method), never std::normal_distribution, whose output differs between
// standard libraries.
class ComplexNoise {
 public:
  // `sigma` is the noise's RMS per complex sample: each of I and Q gets sigma / sqrt(2).
  ComplexNoise(std::uint64_t seed, double sigma);

  // The next complex sample, I into `i` and Q into `q`.
  void next(double& i, double& q);

 private:
  double uniform();  // [0, 1), 53 bits

  std::mt19937_64 generator_;
  double componentSigma_;
};

// The RMS per complex sample of white noise over the whole `sampleRateHz` that, beside a signal of
// mean power `signalPower` (sample units squared), gives `snrDb` in kSnrBandwidthHz.
double noiseSigmaFor(double signalPower, double snrDb, double sampleRateHz);

}  // namespace bitoner
