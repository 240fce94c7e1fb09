// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

namespace bitoner::decode {

// A stretch of one tone that a reading says was sounding: a dot, a dash, a key up.
struct HeardWindow {
  std::size_t tone = 0;    // its place among the tones' step sums
  std::int64_t first = 0;  // its first step
  std::int64_t steps = 0;  // its length in steps
};

// What the frequency track missed, in Hz at each step, found from the tones a reading heard.
// The track is drawn before anything is read, from every tone it might be, and a symbol's noise
// moves it by a good share of what a symbol resolves; once the elements are known, each one's
// own energy over a fine grid of offsets around the track tells more. Each window's error is the
// top of its own and its neighbours' energies (within `neighbourSteps` of its middle), drawn
// straight between the windows' middles and held beyond the first and the last.
// `stepSums` per tone, already turned back by the track; windows shorter than half a symbol tell
// little of the frequency and are left out.
std::vector<double> trackError(const std::vector<std::vector<std::complex<double>>>& stepSums,
                               const std::vector<HeardWindow>& windows, double stepSeconds,
                               std::int64_t symbolSteps, std::int64_t neighbourSteps);

// Turns each step sum back by the phase that `errorHz` (per step) runs up: the tone then stands
// still where the track missed it.
void turnBack(std::vector<std::complex<double>>& stepSums, const std::vector<double>& errorHz,
              double stepSeconds);

}  // namespace bitoner::decode
