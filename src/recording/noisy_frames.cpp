// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/noisy_frames.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>

namespace bitoner {

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

void NoisyFrameWriter::putFloat(std::size_t index, double value) {
  const auto bits =
      std::bit_cast<std::uint32_t>(static_cast<float>(value * scale_ / kLargestSample));
  for (std::size_t b = 0; b < sizeof(float); ++b) {
    bytes_[index * sizeof(float) + b] = static_cast<std::uint8_t>((bits >> (8U * b)) & 0xFFU);
  }
}

NoisyFrameWriter::NoisyFrameWriter(const ToneBank& tones, OutputFile* out, double sigma,
                                   std::uint64_t seed, double scale, bool floats)
    : tones_(tones), out_(out), noise_(seed, sigma), scale_(scale), floats_(floats) {}

void NoisyFrameWriter::play(Tone tone) {
  const std::int64_t total = tones_.frames(tone);
  for (std::int64_t first = 0; first < total;) {
    throwIfInterrupted();
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
    const std::size_t values = count * kChannels;
    // Floats are the tone before rounding; the noise is added in sample units either way.
    if (floats_) {
      tones_.read(tone, first, std::span<float>(floatChunk_.data(), values));
    } else {
      tones_.read(tone, first, std::span<std::int16_t>(chunk_.data(), values));
    }
    for (std::size_t k = 0; k < values; k += kChannels) {
      double i = 0.0;
      double q = 0.0;
      noise_.next(i, q);
      if (floats_) {
        i += static_cast<double>(floatChunk_[k]) * kLargestSample;
        q += static_cast<double>(floatChunk_[k + 1]) * kLargestSample;
      } else {
        i += chunk_[k];
        q += chunk_[k + 1];
      }
      peak_ = std::max({peak_, std::fabs(i), std::fabs(q)});
      if (out_ != nullptr && floats_) {
        putFloat(k, i);
        putFloat(k + 1, q);
      } else if (out_ != nullptr) {
        putSample(k, i);
        putSample(k + 1, q);
      }
    }
    if (out_ != nullptr) {
      const std::size_t bytes = values * (floats_ ? sizeof(float) : sizeof(std::int16_t));
      out_->write(std::as_bytes(std::span(bytes_.data(), bytes)));
    }
    first += static_cast<std::int64_t>(count);
  }
  frames_ += total;
}

}  // namespace bitoner
