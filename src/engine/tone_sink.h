// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/tones.h"

namespace bitoner {

// Takes a run's tones in the order they are keyed, each straight after the one before: the sound
// card, a recording's writer, a frame counter.
class ToneSink {
 public:
  virtual ~ToneSink() = default;
  virtual void play(Tone tone) = 0;
};

}  // namespace bitoner
