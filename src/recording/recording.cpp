// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/recording.h"

#include <algorithm>
#include <bit>
#include <optional>
#include <span>

#include "engine/keying_steps.h"
#include "engine/parameters.h"

namespace bitoner {

namespace {}  // namespace

std::int64_t tailFrames(const ToneBank& tones) {
  return tones.smooth() ? tones.smooth()->rampFrames : 0;
}

FrameWriter::FrameWriter(const ToneBank& tones, OutputFile& out, SampleFormat format)
    : tones_(tones), out_(out), format_(format) {
  if (tones.smooth()) {
    smooth_.emplace(tones, *tones.smooth());
  }
}

void FrameWriter::writeFrames(Tone tone, std::int64_t first, std::size_t count) {
  if (format_ == SampleFormat::Cf32) {
    const std::span<float> samples(floatChunk_.data(), count * kChannels);
    smooth_ ? smooth_->render(samples) : tones_.read(tone, first, samples);
    if constexpr (std::endian::native == std::endian::big) {
      for (float& sample : samples) {
        sample = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<std::uint32_t>(sample)));
      }
    }
    out_.write(std::as_bytes(samples));
    return;
  }
  const std::span<std::int16_t> samples(chunk_.data(), count * kChannels);
  smooth_ ? smooth_->render(samples) : tones_.read(tone, first, samples);
  if constexpr (std::endian::native == std::endian::big) {
    for (std::int16_t& sample : samples) {
      sample = static_cast<std::int16_t>(std::rotl(static_cast<std::uint16_t>(sample), 8));
    }
  }
  out_.write(std::as_bytes(samples));
}

void FrameWriter::play(Tone tone) {
  const std::int64_t total = tones_.frames(tone);
  // A hard tone kept in memory is already the file's bytes on a little-endian machine: one write.
  if (const std::span<const std::int16_t> kept = tones_.keptFrames(tone);
      std::endian::native == std::endian::little && !smooth_ && format_ == SampleFormat::Ci16 &&
      !kept.empty()) {
    throwIfInterrupted();
    out_.write(std::as_bytes(kept));
    frames_ += total;
    return;
  }
  if (smooth_) {
    smooth_->begin(tone);
  }
  for (std::int64_t first = 0; first < total;) {
    throwIfInterrupted();
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
    writeFrames(tone, first, count);
    first += static_cast<std::int64_t>(count);
  }
  frames_ += total;
}

void FrameWriter::finish() {
  if (!smooth_) {
    return;
  }
  const std::int64_t total = smooth_->rampOut();
  for (std::int64_t first = 0; first < total;) {
    throwIfInterrupted();
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
    writeFrames(Tone::Idle, first, count);
    first += static_cast<std::int64_t>(count);
  }
  frames_ += total;
}

}  // namespace bitoner
