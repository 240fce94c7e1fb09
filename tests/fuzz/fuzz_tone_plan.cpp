// SPDX-License-Identifier: GPL-3.0-or-later
// Tone planning for any box texts and form variables: a refusal, or plans whose WAV headers agree
// with their frame counts and whose frames fit 16 bits.
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "engine/parameters.h"
#include "engine/tones.h"
#include "engine/wav_writer.h"
#include "fuzz_input.h"

namespace {

std::int64_t field(const std::array<std::uint8_t, bitoner::kWavHeaderBytes>& header,
                   std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t k = 4; k-- > 0;) {
    value = value << 8U | header[at + k];
  }
  return static_cast<std::int32_t>(value);
}

// Tones this short are synthesised in full, which keeps each run quick.
constexpr std::int64_t kSynthesisedFrames = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bitoner::fuzz::FuzzInput input(data, size);
  bitoner::ToneInputs inputs;
  // The frequencies as a box would read them, quoted by a refusal as typed.
  inputs.typed = {.idle = input.text(), .dot = input.text(), .dash = input.text()};
  inputs.idleHz = bitoner::readNumber(inputs.typed.idle);
  inputs.dotHz = bitoner::readNumber(inputs.typed.dot);
  inputs.dashHz = bitoner::readNumber(inputs.typed.dash);
  // Mostly the usual rate, so that the durations, not the rate, decide most plans.
  const auto rate = input.raw<std::int32_t>();
  inputs.Fsample = (rate & 1) != 0 ? rate >> 1 : bitoner::kSampleRateHz;
  inputs.SymbolLength = input.raw<double>();
  inputs.InterSymbol = input.raw<double>();
  inputs.Ampl = input.raw<double>();
  inputs.invert = (input.raw<std::uint8_t>() & 1U) != 0;

  std::array<bitoner::TonePlan, 4> plans;
  try {
    plans = bitoner::planTones(inputs);
  } catch (const bitoner::ToneError&) {
    return 0;
  }
  FUZZ_CHECK(std::fabs(inputs.Ampl) <= bitoner::kFullScale);
  bool allShort = true;
  for (const bitoner::TonePlan& plan : plans) {
    FUZZ_CHECK(plan.frames >= bitoner::kMinFrames && plan.frames <= bitoner::kMaxFrames);
    FUZZ_CHECK(std::isfinite(plan.step));
    const auto header = bitoner::wavHeader(inputs.Fsample, plan.frames);
    const std::int64_t dataBytes = field(header, 40);
    FUZZ_CHECK(dataBytes == 4 * static_cast<std::int64_t>(plan.frames));
    FUZZ_CHECK(field(header, 4) == 36 + dataBytes);
    FUZZ_CHECK(field(header, 24) == inputs.Fsample);
    FUZZ_CHECK(field(header, 28) == 4 * static_cast<std::int64_t>(inputs.Fsample));
    allShort = allShort && plan.frames <= kSynthesisedFrames;
  }
  if (allShort) {
    const bitoner::ToneBank bank(inputs);
    for (const bitoner::Tone tone : bitoner::kTones) {
      const std::int64_t frames = bank.frames(tone);
      FUZZ_CHECK(frames == std::max(0, bank.plan(tone).frames));
      std::vector<std::int16_t> samples(static_cast<std::size_t>(frames) * bitoner::kChannels);
      bank.read(tone, 0, samples);
      for (const std::int16_t sample : samples) {
        FUZZ_CHECK(std::abs(sample) <= std::ceil(std::fabs(inputs.Ampl)));
      }
    }
  }
  return 0;
}
