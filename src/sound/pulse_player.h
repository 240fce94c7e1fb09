// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>

#include "sound/sound_service.h"

namespace bitoner {

// How much the server holds, end to end, when play() returns: the next play has this long to start
// writing for the plays to join without a gap. More rides out longer stalls of this process or of
// the server; the keyed signal may lag the display by no more than this.
inline constexpr std::uint32_t kQueuedTargetMs = 50;

// The sound service on PulseAudio (or PipeWire's PulseAudio server) through the simple API. One
// playback stream is kept open between plays and between runs at the tones' format. Never prints
// anything.
class PulsePlayer : public TimedSound {
 public:
  PulsePlayer();
  ~PulsePlayer() override;
  PulsePlayer(const PulsePlayer&) = delete;
  PulsePlayer& operator=(const PulsePlayer&) = delete;

  void open(std::shared_ptr<const ToneBank> tones) override;
  void play(Tone tone) override;
  void drain() override;
  void playPart(Tone tone, std::int64_t frames) override;
  std::chrono::microseconds latency() override;

  // What the server holds that has not been heard yet, in microseconds (0 when not connected).
  // Throws SoundError if the server is lost.
  std::uint64_t queuedMicroseconds();

 private:
  struct Stream;
  std::unique_ptr<Stream> stream_;
  std::shared_ptr<const ToneBank> tones_;
};

}  // namespace bitoner
