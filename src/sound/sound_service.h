// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "engine/tone_sink.h"
#include "engine/tones.h"

namespace bitoner {

// The sound server is unreachable, was lost or stopped answering; what() gives the reason.
class SoundError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The sound server is there but has stopped answering (it may be stopped or overloaded): no wait
// on it lasts longer than a few seconds. The next open() tries afresh.
class SoundServerNotResponding : public SoundError {
 public:
  using SoundError::SoundError;
};

// The output device the stream was sent to does not exist on the server: trying again will not
// help; what() names the device.
class SoundDeviceMissing : public SoundError {
 public:
  using SoundError::SoundError;
};

// Plays the tones of a run one after another as one continuous signal: each play starts straight
// after what is queued, so consecutive plays join with no silent sample, the signal being sample
// for sample the tones' frames in order. No play touches the file system.
class SoundService : public ToneSink {
 public:
  virtual ~SoundService() = default;

  // Says what the next runs key, for mixers that list the stream (e.g. "Morse: SOS"). Optional.
  virtual void describe(const std::string& what) { static_cast<void>(what); }

  // Starts a run with these tones: makes sure the server can be reached. Throws SoundError.
  virtual void open(std::shared_ptr<const ToneBank> tones) = 0;

  // Queues the tone straight after what is queued and returns while a short stretch of it is still
  // to be heard, so the next play joins without a gap. Throws SoundError if the server is lost or
  // stops answering.
  void play(Tone tone) override = 0;

  // Calls `heard` once every frame queued so far has been heard, in the order asked, so that a
  // front end shows what was sent when it is on the air. A player that keeps nothing queued calls
  // it at once; one that does may call it from a thread of its own, and calls every one still
  // waiting before drain() returns or a failure is thrown. `heard` must not call the player.
  virtual void whenHeard(std::function<void()> heard) { heard(); }

  // Ends the run: waits until everything queued has been heard. Throws SoundError if the server
  // is lost.
  virtual void drain() = 0;
};

// A sound service that can also say when a frame written now will be heard, and play the beginning
// of a tone: what keying to a wall-clock schedule needs.
class TimedSound : public SoundService {
 public:
  // Plays the first `frames` frames of the tone (the whole tone when it is shorter), as play()
  // does.
  virtual void playPart(Tone tone, std::int64_t frames) = 0;

  // How long until a frame written now is heard: what is queued plus the sink's own delay. Throws
  // SoundError if the server is lost.
  virtual std::chrono::microseconds latency() = 0;

  // How many times, since the player was made, the server ran out of samples while a run still
  // had more to come: each is a gap in the signal (the machine too busy to keep the server fed).
  virtual std::uint64_t underruns() { return 0; }
};

}  // namespace bitoner
