// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <span>
#include <vector>

namespace bitoner::grab {

// Moves a band of a complex signal down to zero and keeps one sample in `decimation`, behind a
// low-pass filter that passes the band and stops what would fold into it. A grab frame looks at a
// few hundred hertz of a recording, so its spectra are taken at the band's rate, not the
// recording's. Output sample j stands for input sample j * decimation: the filter is centred.
class Downconverter {
 public:
  // `centreHz` moves to zero; `passHz` is the width kept whole around it.
  Downconverter(double sampleRateHz, double centreHz, double passHz);

  // Filters and decimates `samples`, which follow what was fed before, appending to `out`.
  void feed(std::span<const std::complex<float>> samples, std::vector<std::complex<float>>& out);
  // Feeds the filter's tail of silence, so the last samples fed come out too.
  void finish(std::vector<std::complex<float>>& out);

  int decimation() const { return decimation_; }
  double outputRateHz() const { return rateHz_ / decimation_; }

 private:
  void push(std::complex<float> mixed, std::vector<std::complex<float>>& out);

  double rateHz_;
  int decimation_ = 1;
  std::vector<float> taps_;
  std::vector<std::complex<float>> history_;  // the last taps_.size() inputs, twice over
  std::size_t at_ = 0;                        // where the next input goes in history_
  std::int64_t pushed_ = 0;      // inputs through the filter, its leading silence included
  std::int64_t nextOutput_ = 0;  // the input count at which the next output is due
  std::complex<double> turn_;    // the mixer's step per sample
  std::complex<double> mixer_{1.0, 0.0};
  std::int64_t mixed_ = 0;
};

}  // namespace bitoner::grab
