// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "decode/character_search.h"

namespace bitoner::decode {

struct PassFinderSettings {
  std::int64_t symbolSteps = 1;
  std::int64_t symbolFrames = 1;
  std::int64_t stepFrames = 1;
  double stepSeconds = 0.0;
  // Readings with less noise than this between them belong to one transmission: more than a word
  // space and a character lost to a fade or to noise, far less than a pause between passes.
  std::int64_t joinSteps = 1;
  // A transmission must be this much likelier (natural log) than noise to be read: what chance
  // gives the likeliest of all the places and levels tried, and a margin.
  double startCost = 0.0;
  double fewestSymbolSnr = 0.0;       // and at least this strong, energy per symbol over noise's
  std::vector<WindowKind> toneKinds;  // a symbol-long window of each tone the mode sounds
  bool silentPauses = false;          // the mode's pauses are silence
  std::function<double(double)> knownLevel;  // see DecoderSettings
};

// One transmission read on its own.
struct PassReading {
  PathRun run;             // its readings, in order
  std::int64_t first = 0;  // the steps it was searched in: [first, last]
  std::int64_t last = 0;
  std::vector<double> level;  // per step from `first`, the amplitude over noise RMS per sample
  double typicalLevel = 0.0;  // the level chosen for the whole transmission
};

// Finds the transmissions in a recording: first where they lie, all at one level, then each
// again on its own with its own level, which may follow slow fading. Leaves `search` scored for
// the last one.
std::vector<PassReading> findPasses(Search& search, const WindowSums& sums,
                                    const PassFinderSettings& settings);

}  // namespace bitoner::decode
