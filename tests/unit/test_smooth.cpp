// SPDX-License-Identifier: GPL-3.0-or-later
// Smooth keying's promises, checked on what it makes: one phase, a flat level, the elements where
// hard keying puts them, and a narrow spectrum.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "engine/parameters.h"
#include "engine/smooth.h"
#include "engine/tones.h"
#include "support/spectrum.h"

namespace bitoner {
namespace {

// Long enough for 1 Hz bins, short enough for a unit test: about 17 s of signal.
constexpr double kSymbolSeconds = 2.0;
constexpr double kGlideSeconds = 0.1;
constexpr double kRampSeconds = 0.2;
const double kAmplitude = kFullScale * std::pow(10.0, -10.0 / 20.0);

// "TEN" as the sequencer plays it: dash, gap, idle; dot, gap, idle; dash, gap, dot, gap, idle.
const std::vector<Tone> kPlays{Tone::Dash, Tone::Gap, Tone::Idle, Tone::Dot, Tone::Gap, Tone::Idle,
                               Tone::Dash, Tone::Gap, Tone::Dot,  Tone::Gap, Tone::Idle};

struct Rendered {
  std::vector<std::complex<float>> samples;
  std::vector<std::int64_t> starts;  // each play's first frame
  std::int64_t tail = 0;
};

Rendered renderSmooth(const ToneBank& tones) {
  SmoothSynth synth(tones, *tones.smooth());
  Rendered out;
  std::vector<float> interleaved;
  const auto add = [&](std::int64_t frames) {
    std::vector<float> part(static_cast<std::size_t>(frames) * kChannels);
    synth.render(part);
    interleaved.insert(interleaved.end(), part.begin(), part.end());
  };
  for (const Tone tone : kPlays) {
    out.starts.push_back(static_cast<std::int64_t>(interleaved.size() / kChannels));
    add(synth.begin(tone));
  }
  out.tail = synth.rampOut();
  add(out.tail);
  out.samples = testing::complexOf(interleaved);
  return out;
}

// The phase advance from frame n to n + 1, in cycles.
double stepAt(const std::vector<std::complex<float>>& z, std::int64_t n) {
  const auto k = static_cast<std::size_t>(n);
  const std::complex<double> a(z[k]);
  const std::complex<double> b(z[k + 1]);
  return std::arg(b * std::conj(a)) / (2.0 * std::numbers::pi);
}

class SmoothTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(SmoothTest, OnePhaseFlatLevelHardTimingAndANarrowSpectrum) {
  const std::int32_t rate = GetParam();
  const auto frames = [rate](double seconds) {
    return static_cast<std::int64_t>(std::nearbyint(seconds * rate));
  };
  const ToneBank tones(ToneInputs{600.0, 1000.0, 1200.0, rate, kSymbolSeconds, kSymbolSeconds / 10,
                                  kAmplitude, false, 0.0,
                                  SmoothShape{frames(kGlideSeconds), frames(kRampSeconds)}});
  const Rendered out = renderSmooth(tones);
  const auto& z = out.samples;
  const auto total = static_cast<std::int64_t>(z.size());
  const std::int64_t ramp = frames(kRampSeconds);
  const double lowest = tones.plan(Tone::Idle).step;
  const double highest = tones.plan(Tone::Dash).step;

  // The plays start where hard keying starts them; only the final fall is added.
  std::int64_t hardFrames = 0;
  for (std::size_t k = 0; k < kPlays.size(); ++k) {
    ASSERT_EQ(out.starts[k], hardFrames);
    hardFrames += tones.frames(kPlays[k]);
  }
  ASSERT_EQ(total, hardFrames + ramp);

  // No phase step leaves the band of the tones, and the level is flat between the ramps, rising
  // and falling without a step.
  constexpr double kStepTolerance = 1e-6;
  constexpr double kLevelTolerance = 1e-5;
  const double level = kAmplitude / kFloatFullScale;
  for (std::int64_t n = 0; n + 1 < total - 1; ++n) {
    const double step = stepAt(z, n);
    ASSERT_GE(step, lowest - kStepTolerance) << "frame " << n;
    ASSERT_LE(step, highest + kStepTolerance) << "frame " << n;
    const double magnitude = std::abs(std::complex<double>(z[static_cast<std::size_t>(n)]));
    if (n >= ramp && n < hardFrames) {
      ASSERT_NEAR(magnitude, level, level * kLevelTolerance) << "frame " << n;
    } else {
      const double next = std::abs(std::complex<double>(z[static_cast<std::size_t>(n + 1)]));
      constexpr double kFloatNoise = 1e-6;
      ASSERT_TRUE(n < ramp ? next >= magnitude - kFloatNoise : next <= magnitude + kFloatNoise)
          << "frame " << n;
    }
  }
  EXPECT_LT(std::abs(z.back()), level * 1e-3);

  // Each play holds the previous frequency up to its first frame, and its own from the end of
  // its glide, so its middle.
  for (std::size_t k = 1; k < kPlays.size(); ++k) {
    const std::int64_t start = out.starts[k];
    const double own = tones.plan(kPlays[k]).step;
    EXPECT_NEAR(stepAt(z, start - 1), tones.plan(kPlays[k - 1]).step, kStepTolerance);
    EXPECT_NEAR(stepAt(z, start + frames(kGlideSeconds)), own, kStepTolerance);
    EXPECT_NEAR(stepAt(z, start + tones.frames(kPlays[k]) / 2), own, kStepTolerance);
  }

  // 100 Hz and more beyond the outermost tones, the splatter is at least 90 dB down.
  const testing::Spectrum spectrum(z, rate);
  EXPECT_LE(spectrum.worstBeyond(600, 1200, 100), -90.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, SmoothTest, ::testing::Values(11025, 48000));

}  // namespace
}  // namespace bitoner
