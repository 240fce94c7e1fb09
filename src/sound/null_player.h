// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "engine/parameters.h"
#include "sound/sound_service.h"

namespace bitoner {

// A sound output without a server: the signal goes nowhere, but its time passes as on a sink
// (each play returns while a short stretch is still "queued", drain waits for the end), or not at
// all. For runs that need no sound server and for measuring what a run costs apart from the sound.
class NullPlayer : public SoundService {
 public:
  enum class Pace : std::uint8_t { RealTime, AsFastAsAsked };

  explicit NullPlayer(Pace pace = Pace::RealTime, std::int32_t sampleRateHz = kSampleRateHz,
                      std::chrono::milliseconds queued = std::chrono::milliseconds(200));

  void open(std::shared_ptr<const ToneBank> tones) override;
  void play(Tone tone) override;
  void drain() override;

  // The frames played since the last open().
  std::int64_t framesPlayed() const { return framesPlayed_; }

 private:
  using Clock = std::chrono::steady_clock;

  Pace pace_;
  std::int32_t sampleRateHz_;
  std::chrono::milliseconds queued_;
  std::shared_ptr<const ToneBank> tones_;
  std::int64_t framesPlayed_ = 0;
  Clock::time_point heardUntil_;  // when everything played so far has been heard
};

}  // namespace bitoner
