// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <span>
#include <vector>

namespace bitoner::decode {

struct TrackSettings {
  double blockRateHz = 0.0;       // block sums per second
  std::int64_t symbolBlocks = 1;  // blocks in one symbol
  double searchHz = 0.0;          // a transmission starts within this of the tones
  double rangeHz = 0.0;           // and the track never goes further
  double driftHzPerSecond = 0.0;  // the fastest the tones may move
  double noiseBlockPower = 0.0;   // the noise power of one block sum
  // The closest two tones lie apart; the track's refinement keeps within half of it, so that one
  // tone is never taken for its neighbour where a symbol resolves them barely. 0: one tone.
  double tonesApartHz = 0.0;
  // The mode's pauses are silence. Only then is a stretch with no tone heard a pause, whose offset
  // is held from the tones either side; where a tone never stops, a weak stretch is still the
  // signal, and following it is what keeps a drifting track near threshold.
  bool silentPauses = false;
};

// The tones' offset over the recording, one value per block: the likeliest path through
// symbol-long spectra of all tones together, moving no faster than the drift bound, free to
// start again anywhere within the search where a new transmission begins; then smoothed over a
// few symbols. Each spectrum counts the likelihood that one of the tones is there, so a single
// strong line beside one tone weighs little more than a weak tone does.
std::vector<float> trackFrequency(std::span<const std::span<const std::complex<float>>> tones,
                                  const TrackSettings& settings);

// The phase of a frequency that may change from sum to sum, walked sum by sum: each sum's middle
// in cycles, by the frequency over it. Turning a sum back by it makes a tone at that frequency
// stand still.
class PhaseWalk {
 public:
  double middle(double hz, double seconds) {
    turns_ = std::fmod(turns_ + 0.5 * hz * seconds, 1.0);
    const double at = turns_;
    turns_ += 0.5 * hz * seconds;
    return at;
  }

 private:
  double turns_ = 0.0;
};

// One tone's block sums turned back by the track's phase and summed `blocksPerStep` at a time:
// the tone then stands still at its own frequency.
std::vector<std::complex<double>> followTrack(std::span<const std::complex<float>> sums,
                                              const std::vector<float>& trackHz, double blockRateHz,
                                              std::int64_t blocksPerStep);

}  // namespace bitoner::decode
