// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "cli/keying_options.h"
#include "decode/decoder.h"
#include "engine/noise.h"
#include "recording/recording.h"
#include "support/keyed_signal.h"

namespace bitoner {
namespace {

constexpr double kRate = 11025.0;

// The keyed message as render writes it, at full scale 1.
std::vector<std::complex<double>> keyed(const std::string& text) {
  return testing::keyedSignal(text, "0.05");
}

// Noise of the given RMS, with the signal shifted by `offsetHz` from `startSeconds` on.
decode::Decoded decodeWith(const std::vector<std::complex<double>>& signal, double sigma,
                           double startSeconds, double offsetHz) {
  const auto before = static_cast<std::size_t>(startSeconds * kRate);
  std::vector<std::complex<float>> samples(before + signal.size() + before);
  ComplexNoise noise(9, sigma);
  for (std::size_t n = 0; n < samples.size(); ++n) {
    double i = 0.0;
    double q = 0.0;
    noise.next(i, q);
    std::complex<double> x(i, q);
    if (n >= before && n - before < signal.size()) {
      x += signal[n - before] * std::polar(1.0, 1.0 + 2.0 * std::numbers::pi * offsetHz *
                                                          static_cast<double>(n) / kRate);
    }
    samples[n] = std::complex<float>(x);
  }
  decode::DecoderSettings settings;
  settings.symbolSeconds = 0.05;
  settings.gapSeconds = 0.005;
  decode::Decoder decoder(settings);
  // In uneven pieces, as a pipe delivers them.
  for (std::size_t at = 0; at < samples.size(); at += 1000) {
    decoder.feed(std::span(samples).subspan(at, std::min<std::size_t>(1000, samples.size() - at)));
  }
  return decoder.decode();
}

TEST(DecoderTest, FindsTheStartAndTheOffsetInNoise) {
  const std::vector<std::complex<double>> signal = keyed("PARIS 73");
  const double sigma = noiseSigmaFor(std::norm(signal.front()), 0.0, kRate);  // 0 dB in 2500 Hz
  const decode::Decoded decoded = decodeWith(signal, sigma, 1.3, 2.5);
  EXPECT_TRUE(decoded.found);
  EXPECT_EQ(decoded.text, "PARIS 73");
  EXPECT_NEAR(decoded.offsetHz, 2.5, 1.0);  // a twentieth of what a 50 ms symbol resolves
  EXPECT_NEAR(decoded.startSeconds, 1.3, decoded.stepSeconds);
  EXPECT_NEAR(decoded.snrDb, 0.0, 2.0);
  for (const decode::DecodedCharacter& c : decoded.characters) {
    EXPECT_GT(c.confidence, 0.9) << static_cast<char>(c.character);
  }
}

TEST(DecoderTest, NoiseAloneReadsAsNothing) {
  const std::vector<std::complex<double>> silence(static_cast<std::size_t>(kRate) * 3);
  const decode::Decoded decoded = decodeWith(silence, 0.1, 0.0, 0.0);
  EXPECT_FALSE(decoded.found);
  EXPECT_EQ(decoded.text, "");
}

}  // namespace
}  // namespace bitoner
