// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>

#include "engine/keying_steps.h"
#include "engine/tone_sink.h"
#include "engine/tones.h"

namespace bitoner {

// What a driver hears while the keyer walks a run, and where it decides: every call comes on the
// keyer's thread, in the order of the steps. Each driver acts only on what concerns it (a display
// on shown and cleared, a recording on the character and tone calls, a window on boundaries).
class KeyingObserver {
 public:
  virtual ~KeyingObserver() = default;
  // The next `frames` frames, up to the next boundary, are about to be played.
  virtual void stretchAhead(std::int64_t frames) { static_cast<void>(frames); }
  virtual void passStarted(std::int32_t pass) { static_cast<void>(pass); }
  // The character at `step.position` begins: `step.character` and `step.pattern`.
  virtual void characterStarted(const KeyingStep& step) { static_cast<void>(step); }
  // The extra idle symbol between two passes of a Loop begins.
  virtual void loopIdleStarted() {}
  // The sink has taken the tone, straight after the one before.
  virtual void played(Tone tone) { static_cast<void>(tone); }
  // The pattern display gains `symbol`: '.', '-' or ' '.
  virtual void shown(char symbol) { static_cast<void>(symbol); }
  // The pattern display is emptied (between passes of a Loop).
  virtual void cleared() {}
  // A boundary: input waiting for the run takes effect here. False ends the run here.
  virtual bool goOn() { return true; }
};

// How a walk ended.
enum class KeyingEnd : std::uint8_t {
  Completed,  // the steps ran out, or the passes asked for were keyed
  Ended,      // the observer ended it at a boundary
};

// The one place a run's steps are walked, for the window, render, the beacon and tune alike: it
// plays the steps' tones into a sink and tells one observer what was sent, so every front end
// sends the same samples by construction. The steps are taken a boundary at a time: the input
// they read changes only at boundaries, so taking them together reads it as taking them one by
// one would, and the observer learns how long the stretch ahead is before it is played.
class Keyer {
 public:
  Keyer(const ToneBank& tones, ToneSink& sink, KeyingObserver& observer)
      : tones_(tones), sink_(sink), observer_(observer) {}

  // Walks `steps` until they run out, the observer ends the run at a boundary, or, when `passes`
  // is given, just before pass `passes` + 1 would begin.
  KeyingEnd run(StepSource& steps, std::optional<std::int64_t> passes = std::nullopt);

 private:
  const ToneBank& tones_;
  ToneSink& sink_;
  KeyingObserver& observer_;
};

// One tone, the idle tone, over and over with a boundary after each: what tune sends.
class SteadyTone : public StepSource {
 public:
  std::optional<KeyingStep> next() override;

 private:
  bool boundary_ = false;
};

}  // namespace bitoner
