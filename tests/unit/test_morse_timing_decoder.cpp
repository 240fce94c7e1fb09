// SPDX-License-Identifier: GPL-3.0-or-later
// What the QRSS and FSKCW reader must not do: read characters out of noise alone. Reading keyed
// signals back is checked end to end, through render and decode.
#include <gtest/gtest.h>

#include <complex>
#include <vector>

#include "decode/morse_timing_decoder.h"
#include "engine/noise.h"

namespace bitoner::decode {
namespace {

TEST(MorseTimingDecoder, NoiseAloneGivesNoCharacter) {
  constexpr double kRateHz = 11025.0;
  constexpr std::size_t kFrames = 20 * 60 * 11025 / 10;  // two minutes
  for (const bool shifted : {false, true}) {
    for (const std::uint64_t seed : {1U, 2U, 3U}) {
      SCOPED_TRACE(testing::Message() << (shifted ? "fskcw" : "qrss") << " seed " << seed);
      MorseTimingSettings settings;
      settings.sampleRateHz = kRateHz;
      settings.dotSeconds = 0.5;
      if (shifted) {
        settings.keyUpHz = 995.0;
      }
      MorseTimingDecoder decoder(settings);
      ComplexNoise noise(seed, 1000.0);
      std::vector<std::complex<float>> samples(kFrames);
      for (auto& sample : samples) {
        double i = 0.0;
        double q = 0.0;
        noise.next(i, q);
        sample = {static_cast<float>(i), static_cast<float>(q)};
      }
      decoder.feed(samples);
      const Decoded decoded = decoder.decode();
      EXPECT_FALSE(decoded.found);
      EXPECT_EQ(decoded.text, "");
    }
  }
}

}  // namespace
}  // namespace bitoner::decode
