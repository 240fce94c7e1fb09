// SPDX-License-Identifier: GPL-3.0-or-later
// The decoder on short arbitrary recordings with arbitrary settings: a refusal of the settings,
// or a reading whose characters lie inside the recording, in order, with their text.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "fuzz_input.h"

namespace {

// Bounds that keep each input to milliseconds: the search's work grows with the symbols the
// recording holds, so a dozen of them, at most a few thousand frames.
constexpr double kMostSymbols = 12.0;
constexpr double kMostSymbolFrames = 1024.0;
constexpr double kMostRateHz = 200000.0;
constexpr std::size_t kMostFrames = 8192;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bitoner::fuzz::FuzzInput input(data, size);
  bitoner::decode::DecoderSettings settings;
  // Mostly values on usable scales, so that most inputs reach the search; one flag each lets a
  // raw double through for the refusals.
  const auto raw = input.raw<std::uint8_t>();
  auto pick = [&](int bit, double scaled) {
    const double given = input.raw<double>();
    return (raw >> bit & 1U) != 0 ? given : scaled;
  };
  settings.sampleRateHz = pick(0, 1000.0 + input.raw<std::uint16_t>() % 47000);
  const double rate = settings.sampleRateHz;
  for (std::size_t tone = 0; tone < settings.toneHz.size(); ++tone) {
    settings.toneHz[tone] = pick(static_cast<int>(1 + tone), input.raw<std::int16_t>() / 4.0);
  }
  settings.symbolSeconds = pick(4, (input.raw<std::uint16_t>() % 1100) / rate);
  settings.gapSeconds = pick(5, settings.symbolSeconds * input.raw<std::uint8_t>() / 255.0);
  settings.searchHz = pick(6, input.raw<std::uint8_t>() / 16.0);
  // Lengths that are numbers but long would be slow, not wrong: those are left out. Those that
  // are not numbers go on to be refused.
  const double symbolFrames = rate * settings.symbolSeconds;
  const double gapFrames = rate * settings.gapSeconds;
  if ((std::isfinite(rate) && rate > kMostRateHz) ||
      (std::isfinite(symbolFrames) && symbolFrames > kMostSymbolFrames) ||
      (std::isfinite(gapFrames) && gapFrames > kMostSymbolFrames)) {
    return 0;
  }

  const std::size_t mostFrames =
      std::isfinite(symbolFrames) && symbolFrames > 0.0
          ? std::min(kMostFrames, static_cast<std::size_t>(kMostSymbols * symbolFrames))
          : kMostFrames;
  std::vector<std::complex<float>> samples;
  while (samples.size() < mostFrames) {
    const auto i = input.raw<std::int16_t>();
    const auto q = input.raw<std::int16_t>();
    if (i == 0 && q == 0 && samples.size() % 64 == 63) {
      break;
    }
    samples.emplace_back(i / 32768.0F, q / 32768.0F);
  }

  try {
    bitoner::decode::Decoder decoder(settings);
    // In two pieces, as a reader feeds it.
    const std::size_t half = samples.size() / 2;
    decoder.feed(std::span(samples).first(half));
    decoder.feed(std::span(samples).subspan(half));
    FUZZ_CHECK(decoder.framesFed() == static_cast<std::int64_t>(samples.size()));
    const bitoner::decode::Decoded decoded = decoder.decode();
    const double length = static_cast<double>(samples.size()) / rate;
    double previous = -1.0;
    for (const bitoner::decode::DecodedCharacter& c : decoded.characters) {
      FUZZ_CHECK(c.startSeconds >= previous);
      FUZZ_CHECK(c.startSeconds >= 0.0 && c.startSeconds + c.seconds <= length + 1e-9);
      FUZZ_CHECK(c.confidence >= 0.0 && c.confidence <= 1.0);
      previous = c.startSeconds;
    }
    std::string lines;  // one a transmission
    std::size_t characters = 0;
    for (const bitoner::decode::DecodedPass& pass : decoded.passes) {
      lines += (lines.empty() ? "" : "\n") + bitoner::decode::textOf(pass.characters);
      characters += pass.characters.size();
    }
    FUZZ_CHECK(decoded.text == lines);
    FUZZ_CHECK(characters == decoded.characters.size());
    FUZZ_CHECK(decoded.found || decoded.characters.empty());
  } catch (const bitoner::decode::SettingsError&) {
  }
  return 0;
}
