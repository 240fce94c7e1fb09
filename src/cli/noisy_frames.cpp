// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/noisy_frames.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>

namespace bitoner::cli {

namespace {

constexpr double kLargestSample = std::numeric_limits<std::int16_t>::max();

}  // namespace

std::string noiseDescription(const std::optional<NoisePlan>& noise) {
  if (!noise) {
    return {};
  }
  const auto number = [](double value) {
    constexpr int kDigits = 6;
    char text[32];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::general, kDigits);
    return std::string(text, end);
  };
  return ", complex white Gaussian noise at " + number(noise->snrDb) + " dB SNR in " +
         number(kSnrBandwidthHz) + " Hz (seed " + std::to_string(noise->seed) +
         "), then scaled by " + number(noise->scale) + " so that nothing clips";
}

double meanPower(const ToneBank& tones, const std::array<std::int64_t, 4>& plays) {
  constexpr std::size_t kChunkFrames = 8192;
  std::array<std::int16_t, kChunkFrames * kChannels> chunk{};
  double energy = 0.0;
  std::int64_t frames = 0;
  for (const Tone tone : kTones) {
    const std::int64_t count = plays[static_cast<std::size_t>(tone)];
    const std::int64_t total = tones.frames(tone);
    if (count == 0 || total == 0) {
      continue;
    }
    double toneEnergy = 0.0;
    for (std::int64_t first = 0; first < total;) {
      const auto n = static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
      const std::span<std::int16_t> samples(chunk.data(), n * kChannels);
      tones.read(tone, first, samples);
      for (const std::int16_t sample : samples) {
        toneEnergy += static_cast<double>(sample) * sample;
      }
      first += static_cast<std::int64_t>(n);
    }
    energy += toneEnergy * static_cast<double>(count);
    frames += total * count;
  }
  return frames == 0 ? 0.0 : energy / static_cast<double>(frames);
}

double scaleForPeak(double peak) { return peak > kLargestSample ? kLargestSample / peak : 1.0; }

void NoisyFrameWriter::putSample(std::size_t index, double value) {
  // The scale keeps |value| within the 16-bit range, so the conversion cannot overflow.
  const auto bits =
      static_cast<std::uint16_t>(static_cast<std::int16_t>(std::nearbyint(value * scale_)));
  bytes_[index * 2] = static_cast<std::uint8_t>(bits & 0xFFU);
  bytes_[index * 2 + 1] = static_cast<std::uint8_t>(bits >> 8U);
}

NoisyFrameWriter::NoisyFrameWriter(const ToneBank& tones, OutputFile* out, double sigma,
                                   std::uint64_t seed, double scale)
    : tones_(tones), out_(out), noise_(seed, sigma), scale_(scale) {}

void NoisyFrameWriter::play(Tone tone) {
  const std::int64_t total = tones_.frames(tone);
  for (std::int64_t first = 0; first < total;) {
    throwIfInterrupted();
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
    const std::span<std::int16_t> samples(chunk_.data(), count * kChannels);
    tones_.read(tone, first, samples);
    for (std::size_t k = 0; k < samples.size(); k += kChannels) {
      double i = 0.0;
      double q = 0.0;
      noise_.next(i, q);
      i += samples[k];
      q += samples[k + 1];
      peak_ = std::max({peak_, std::fabs(i), std::fabs(q)});
      if (out_ != nullptr) {
        putSample(k, i);
        putSample(k + 1, q);
      }
    }
    if (out_ != nullptr) {
      out_->write(std::as_bytes(std::span(bytes_.data(), samples.size() * 2)));
    }
    first += static_cast<std::int64_t>(count);
  }
  frames_ += total;
}

}  // namespace bitoner::cli
