// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/noise.h"

#include <gtest/gtest.h>

#include <cmath>

namespace bitoner {
namespace {

// The first samples of one seed, as every build on every machine must draw them: a change of
// generator, transform or order would make old test recordings unrepeatable.
TEST(ComplexNoiseTest, SeedGivesTheSameSamplesEverywhere) {
  ComplexNoise noise(2026, 1.0);
  double i = 0.0;
  double q = 0.0;
  noise.next(i, q);
  EXPECT_DOUBLE_EQ(i, -0.92763704384378209);
  EXPECT_DOUBLE_EQ(q, 0.78457254288781242);
  noise.next(i, q);
  EXPECT_DOUBLE_EQ(i, -0.067909711281216006);
  EXPECT_DOUBLE_EQ(q, 1.1427572280197704);
}

TEST(ComplexNoiseTest, PowerAndShapeAreGaussian) {
  constexpr int kSamples = 200000;
  const double sigma = noiseSigmaFor(4.0, -10.0, 10000.0);  // 4 * 10 * 10000 / 2500 = 160
  EXPECT_NEAR(sigma * sigma, 160.0, 1e-9);
  ComplexNoise noise(1, sigma);
  double power = 0.0;
  double fourth = 0.0;
  double cross = 0.0;
  for (int k = 0; k < kSamples; ++k) {
    double i = 0.0;
    double q = 0.0;
    noise.next(i, q);
    power += i * i + q * q;
    fourth += i * i * i * i;
    cross += i * q;
  }
  const double componentPower = power / (2.0 * kSamples);
  EXPECT_NEAR(power / kSamples / 160.0, 1.0, 0.02);
  // A normal variable's fourth moment is three times its variance squared; I and Q independent.
  EXPECT_NEAR(fourth / kSamples / (componentPower * componentPower), 3.0, 0.1);
  EXPECT_NEAR(cross / kSamples / componentPower, 0.0, 0.02);
}

}  // namespace
}  // namespace bitoner
