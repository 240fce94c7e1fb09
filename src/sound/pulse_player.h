// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sound/sound_service.h"

namespace bitoner {

// How much the server holds, end to end, when play() returns: the next play has this long to come
// for the plays to join without a gap. More rides out longer stalls of the caller; whenHeard()
// waits for it, so a display follows the air. With tones of a second or more the server is fed in
// requests of 400 ms, to wake less often, and holds 400 to about 800 ms: a fraction of a tone.
inline constexpr std::uint32_t kQueuedTargetMs = 200;

// How long the server may leave a request unanswered (or stop taking audio) before it is reported
// as not responding.
inline constexpr std::chrono::milliseconds kServerAnswerTimeout{3000};

// The sound service on PulseAudio (or PipeWire's PulseAudio server) through the asynchronous API.
// A thread of the player's own feeds the server from the tones in memory whenever it asks for
// more, so a caller that is late by less than kQueuedTargetMs never lets the signal break. One
// playback stream is kept between runs, corked while idle so the sink may suspend. Every wait on
// the server has a deadline. Never prints anything. The calls may come from any one thread.
class PulsePlayer : public TimedSound {
 public:
  PulsePlayer();
  ~PulsePlayer() override;
  PulsePlayer(const PulsePlayer&) = delete;
  PulsePlayer& operator=(const PulsePlayer&) = delete;

  void describe(const std::string& what) override;
  void open(std::shared_ptr<const ToneBank> tones) override;
  void play(Tone tone) override;
  void drain() override;
  void playPart(Tone tone, std::int64_t frames) override;
  std::chrono::microseconds latency() override;
  void whenHeard(std::function<void()> heard) override;

  std::uint64_t underruns() override;

  // What has not been heard yet, handed to the server or not, in microseconds (0 when not
  // connected or idle; none for a moment after a run starts, until the server has told how far
  // it has got). Asks the server afresh at most once a second, waiting only for a run's first
  // answer; in between the figure is carried forward. Throws SoundError if the server is lost or
  // does not answer.
  std::optional<std::uint64_t> queuedMicroseconds();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bitoner
