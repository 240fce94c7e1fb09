// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/pulse_player.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "engine/parameters.h"

namespace bitoner {
namespace {

constexpr std::uint8_t kToneChannels = kChannels;
// Frames handed to the server at a time: small enough that a long tone never sits in a buffer of
// ours, large enough that the per-chunk cost does not matter.
constexpr std::int64_t kChunkFrames = 1024;
constexpr std::uint64_t kMicrosecondsPerMillisecond = 1000;
constexpr const char* kClientName = "Bitoner";
constexpr const char* kStreamName = "Keyed signal";

}  // namespace

struct PulsePlayer::Stream {
  pa_simple* handle = nullptr;

  ~Stream() { close(); }

  void close() {
    if (handle != nullptr) {
      pa_simple_free(handle);
      handle = nullptr;
    }
  }

  [[noreturn]] void lost(const char* what, int error) {
    close();
    throw SoundError(std::string(what) + ": " + pa_strerror(error));
  }

  void connect(const pa_sample_spec& wanted) {
    close();
    // With the simple API's latency adjustment, tlength is the whole way from our write to the
    // speaker: the server splits it between its own buffer and the sink. The rest is left to the
    // server; prebuf in particular must stay on, so that after a drain (or, worse, an underrun) the
    // stream waits for data instead of skipping over what arrives late.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(
        pa_usec_to_bytes(kQueuedTargetMs * kMicrosecondsPerMillisecond, &wanted));
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    handle = pa_simple_new(nullptr, kClientName, PA_STREAM_PLAYBACK, nullptr, kStreamName, &wanted,
                           nullptr, &attr, &error);
    if (handle == nullptr) {
      throw SoundError(std::string("sound server unreachable: ") + pa_strerror(error));
    }
  }

  void drain() {
    int error = 0;
    if (handle != nullptr && pa_simple_drain(handle, &error) < 0) {
      lost("sound server lost", error);
    }
  }

  void write(const void* data, std::size_t bytes) {
    int error = 0;
    if (pa_simple_write(handle, data, bytes, &error) < 0) {
      lost("sound server lost", error);
    }
  }
};

PulsePlayer::PulsePlayer() : stream_(std::make_unique<Stream>()) {}

PulsePlayer::~PulsePlayer() = default;

void PulsePlayer::open(std::shared_ptr<const ToneBank> tones) {
  tones_ = std::move(tones);
  if (stream_->handle != nullptr) {
    int error = 0;
    if (pa_simple_get_latency(stream_->handle, &error) != static_cast<pa_usec_t>(-1)) {
      return;
    }
    stream_->close();  // the server went away since the last run: start afresh
  }
  stream_->connect(
      pa_sample_spec{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(kSampleRateHz), kToneChannels});
}

void PulsePlayer::play(Tone tone) {
  if (tones_) {
    playPart(tone, tones_->frames(tone));
  }
}

void PulsePlayer::playPart(Tone tone, std::int64_t frames) {
  if (!tones_ || stream_->handle == nullptr) {
    throw SoundError("sound server lost: no stream is open");
  }
  frames = std::min(frames, tones_->frames(tone));
  std::vector<std::int16_t> chunk(static_cast<std::size_t>(kChunkFrames) * kChannels);
  for (std::int64_t done = 0; done < frames; done += kChunkFrames) {
    const std::int64_t count = std::min(kChunkFrames, frames - done);
    const std::span<std::int16_t> part(chunk.data(), static_cast<std::size_t>(count) * kChannels);
    tones_->read(tone, done, part);
    stream_->write(part.data(), part.size_bytes());
  }
}

void PulsePlayer::drain() { stream_->drain(); }

std::chrono::microseconds PulsePlayer::latency() {
  return std::chrono::microseconds(queuedMicroseconds());
}

std::uint64_t PulsePlayer::queuedMicroseconds() {
  if (stream_->handle == nullptr) {
    return 0;
  }
  int error = 0;
  const pa_usec_t latency = pa_simple_get_latency(stream_->handle, &error);
  if (latency == static_cast<pa_usec_t>(-1)) {
    stream_->lost("sound server lost", error);
  }
  return latency;
}

}  // namespace bitoner
