// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

namespace bitoner::decode {

// A steady carrier found beside a tone and taken out of its sums.
struct Carrier {
  double offsetHz = 0.0;   // from the tone
  double symbolSnr = 0.0;  // its energy in one symbol over the noise's
};

// Finds the steady carriers in one tone's block sums and subtracts them over the whole recording.
// A carrier is a line that keeps its level in every stretch of a few symbols; a keyed tone, even
// one whose phase runs on from element to element, comes and goes and is left alone, and so does
// a drifting one, which makes no line.
std::vector<Carrier> removeSteadyCarriers(std::vector<std::complex<float>>& sums,
                                          double blockRateHz, std::int64_t symbolBlocks,
                                          double noiseBlockPower);

}  // namespace bitoner::decode
