// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <string_view>

#include "engine/tone_sink.h"
#include "engine/tones.h"
#include "recording/recording.h"

namespace bitoner {

// A message that stays as it is for the whole run, keyed as the window keys it: one pass with Loop
// clear when `loopPasses` is 0, else that many passes of a Loop run, each followed by the Loop's
// extra idle symbol. What render writes and what a beacon's pass lasts.
struct FixedRun {
  std::u32string_view message;
  std::int64_t loopPasses = 0;
};

// Keys the run into `sink` through the keyer; `segment`, when given, gets every segment of at
// least one frame once it is complete.
void keyFixedRun(const ToneBank& tones, const FixedRun& run, ToneSink& sink,
                 const std::function<void(const Segment&)>& segment = nullptr);

// The frames of the run's tones, counted without making them; the count ends at the first
// boundary past `limit`.
std::int64_t countFixedRunFrames(const ToneBank& tones, const FixedRun& run,
                                 std::int64_t limit = std::numeric_limits<std::int64_t>::max());

// How often each tone is played in the run, indexed by Tone.
std::array<std::int64_t, 4> countFixedRunPlays(const ToneBank& tones, const FixedRun& run);

}  // namespace bitoner
