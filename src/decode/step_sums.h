// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

namespace bitoner::decode {

// The recording mixed down at each tone and summed over short blocks: everything the decoder
// keeps of it. A block is short against the largest offset the frequency track may reach, so a
// tone that far off loses little in a block's sum; any longer window is a sum of whole blocks.
class StepSums {
 public:
  // `toneHz` as the spectrum shows them; `blockFrames` samples to a block.
  StepSums(double sampleRateHz, std::vector<double> toneHz, std::int64_t blockFrames);

  void feed(std::span<const std::complex<float>> samples);

  std::size_t tones() const { return sums_.size(); }
  std::int64_t blockFrames() const { return blockFrames_; }
  std::int64_t blocks() const { return blocks_; }
  // Per tone, one sum per whole block, each at the phase its samples have in the whole recording.
  const std::vector<std::complex<float>>& sums(std::size_t tone) const { return sums_[tone]; }
  std::vector<std::complex<float>>& sums(std::size_t tone) { return sums_[tone]; }

 private:
  void finishBlock();

  std::int64_t blockFrames_;
  std::vector<std::vector<std::complex<float>>> mixers_;  // per tone, over one block
  std::vector<double> blockTurns_;  // each tone's phase advance per block, in cycles
  std::vector<std::complex<double>> partial_;
  std::int64_t inBlock_ = 0;
  std::int64_t blocks_ = 0;
  std::vector<std::vector<std::complex<float>>> sums_;
};

}  // namespace bitoner::decode
