// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/null_player.h"

#include <algorithm>
#include <thread>
#include <utility>

namespace bitoner {

NullPlayer::NullPlayer(Pace pace, std::int32_t sampleRateHz, std::chrono::milliseconds queued)
    : pace_(pace), sampleRateHz_(sampleRateHz), queued_(queued) {}

void NullPlayer::open(std::shared_ptr<const ToneBank> tones) {
  if (tones == nullptr) {
    throw SoundError("no tones to play");
  }
  tones_ = std::move(tones);
  framesPlayed_ = 0;
  heardUntil_ = Clock::now();
}

void NullPlayer::play(Tone tone) {
  if (tones_ == nullptr) {
    throw SoundError("play before open");
  }
  const std::int64_t frames = tones_->frames(tone);
  framesPlayed_ += frames;
  if (pace_ == Pace::AsFastAsAsked) {
    return;
  }
  const auto length = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(frames) / sampleRateHz_));
  heardUntil_ = std::max(heardUntil_, Clock::now()) + length;
  std::this_thread::sleep_until(heardUntil_ - queued_);
}

void NullPlayer::drain() {
  if (pace_ == Pace::RealTime) {
    std::this_thread::sleep_until(heardUntil_);
  }
}

}  // namespace bitoner
