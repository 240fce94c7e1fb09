// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/keying_options.h"
#include "engine/tones.h"
#include "keying/fixed_run.h"

namespace bitoner::testing {

// The clean recording of a message as render writes it at the default options, this symbol
// length and mode (and FSKCW's shift, and other boxes as typed), as complex values at full scale 1.
inline std::vector<std::complex<double>> keyedSignal(
    const std::string& text, const std::string& symbol, Mode mode = Mode::ThreeTone,
    const std::string& shiftHz = "", const std::vector<std::pair<Box, std::string>>& boxes = {}) {
  cli::KeyingOptions options;
  options.text(Box::SymbLen) = symbol;
  for (const auto& [box, typed] : boxes) {
    options.text(box) = typed;
  }
  options.mode = modeName(mode);
  if (!shiftHz.empty()) {
    options.shiftText = shiftHz;
  }
  options.message = {text};
  const RunPlan plan = cli::planRun(options);
  const ToneBank tones(plan.tones);
  std::vector<std::complex<double>> signal;
  struct Collect : ToneSink {
    const ToneBank& tones;
    std::vector<std::complex<double>>& signal;
    std::vector<std::int16_t> chunk;
    Collect(const ToneBank& t, std::vector<std::complex<double>>& s) : tones(t), signal(s) {}
    void play(Tone tone) override {
      chunk.resize(static_cast<std::size_t>(tones.frames(tone)) * kChannels);
      tones.read(tone, 0, chunk);
      for (std::size_t k = 0; k < chunk.size(); k += 2) {
        signal.emplace_back(chunk[k] / 32768.0, chunk[k + 1] / 32768.0);
      }
    }
  } collect(tones, signal);
  keyFixedRun(tones, {plan.message, 0}, collect);
  return signal;
}

}  // namespace bitoner::testing
