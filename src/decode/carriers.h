// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

namespace bitoner::decode {

// A steady carrier found beside a tone and taken out of its sums.
struct Carrier {
  double offsetHz = 0.0;   // from the tone
  double symbolSnr = 0.0;  // its energy in one symbol over the noise's
};

// Finds the steady carriers in one tone's block sums and subtracts them over the whole recording
// into `cleaned`, which is left empty where none is found: most recordings have none, and a copy
// of an hour's sums is large. A carrier is a line that keeps its level in every stretch of a few
// symbols; a keyed tone, even one whose phase runs on from element to element, comes and goes and
// is left alone, and so does a drifting one, which makes no line.
std::vector<Carrier> removeSteadyCarriers(std::span<const std::complex<float>> sums,
                                          std::vector<std::complex<float>>& cleaned,
                                          double blockRateHz, std::int64_t symbolBlocks,
                                          double noiseBlockPower);

}  // namespace bitoner::decode
