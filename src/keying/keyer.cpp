// SPDX-License-Identifier: GPL-3.0-or-later
#include "keying/keyer.h"

#include <vector>

namespace bitoner {

KeyingEnd Keyer::run(StepSource& steps, std::optional<std::int64_t> passes) {
  std::vector<KeyingStep> stretch;
  for (;;) {
    stretch.clear();
    std::int64_t frames = 0;
    while (const std::optional<KeyingStep> step = steps.next()) {
      stretch.push_back(*step);
      if (step->kind == KeyingStep::Kind::Play) {
        frames += tones_.frames(step->tone);
      } else if (step->kind == KeyingStep::Kind::Checkpoint) {
        break;
      }
    }
    if (stretch.empty()) {
      return KeyingEnd::Completed;
    }
    observer_.stretchAhead(frames);
    for (const KeyingStep& step : stretch) {
      switch (step.kind) {
        case KeyingStep::Kind::PassStart:
          if (passes && step.pass > *passes) {
            return KeyingEnd::Completed;
          }
          observer_.passStarted(step.pass);
          break;
        case KeyingStep::Kind::CharacterStart:
          observer_.characterStarted(step);
          break;
        case KeyingStep::Kind::LoopIdle:
          observer_.loopIdleStarted();
          break;
        case KeyingStep::Kind::Play:
          sink_.play(step.tone);
          observer_.played(step.tone);
          break;
        case KeyingStep::Kind::Show:
          observer_.shown(step.symbol);
          break;
        case KeyingStep::Kind::ClearDisplay:
          observer_.cleared();
          break;
        case KeyingStep::Kind::Checkpoint:
          if (!observer_.goOn()) {
            return KeyingEnd::Ended;
          }
          break;
      }
    }
  }
}

std::optional<KeyingStep> SteadyTone::next() {
  KeyingStep step;
  step.kind = boundary_ ? KeyingStep::Kind::Checkpoint : KeyingStep::Kind::Play;
  step.tone = Tone::Idle;
  boundary_ = !boundary_;
  return step;
}

}  // namespace bitoner
