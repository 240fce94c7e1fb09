// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/signal_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace bitoner::cli {

namespace {

// Defaults, as shares of the symbol: a glide short against the element, yet long enough to keep
// the spectrum narrow; a ramp twice that, once per transmission.
constexpr double kGlideShare = 0.05;
constexpr double kRampShare = 0.1;

}  // namespace

void addSignalOptions(CLI::App& command, SignalOptions& options, std::int32_t maxRateHz,
                      bool shapes) {
  command
      .add_option("--rate", options.rateHz,
                  "Sample rate in Hz, " + std::to_string(kMinRateHz) + " to " +
                      std::to_string(maxRateHz) +
                      "; the tones are made at it, never resampled (default 11025)")
      ->check(CLI::Range(kMinRateHz, maxRateHz))
      ->option_text("HZ");
  command
      .add_option("--ppm", options.ppm,
                  "The sound card's clock is P ppm fast (negative: slow); the tones are made at "
                  "f / (1 + P/1e6) so that they leave it at f (default 0)")
      ->check(CLI::Range(-100000.0, 100000.0))
      ->option_text("P");
  if (!shapes) {
    return;
  }
  command
      .add_option("--shape", options.shape,
                  "hard: each tone switched on whole at its element, as keyed on the air "
                  "(default); smooth: one continuous "
                  "phase, raised-cosine glides between tones and ramps at the start and end")
      ->check(CLI::IsMember({"hard", "smooth"}))
      ->option_text("hard|smooth");
  command
      .add_option("--glide", options.glideSeconds,
                  "With --shape smooth: length of each change of frequency in seconds, at most "
                  "the gap (default 5 % of the symbol, or the gap if shorter)")
      ->check(CLI::NonNegativeNumber)
      ->option_text("SECONDS");
  command
      .add_option("--ramp", options.rampSeconds,
                  "With --shape smooth: length of the rise at the start and the fall at the end, "
                  "in seconds (default 10 % of the symbol)")
      ->check(CLI::Range(0.0, 3600.0))
      ->option_text("SECONDS");
}

std::int64_t framesAt(double seconds, std::int32_t rateHz) {
  // Far beyond any tone's length, yet safe to convert and to double.
  constexpr double kMostFrames = 1e15;
  return static_cast<std::int64_t>(std::nearbyint(std::clamp(seconds * rateHz, 0.0, kMostFrames)));
}

std::string secondsText(std::int64_t frames, std::int32_t rateHz) {
  char text[32];
  const double seconds = static_cast<double>(frames) / rateHz;
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, 1);
  return std::string(text, end) + " s";
}

void applySignalOptions(const SignalOptions& options, RunPlan& plan) {
  plan.parameters.Fsample = options.rateHz;
  plan.tones.Fsample = options.rateHz;
  plan.tones.ppm = options.ppm;
  if (options.shape != "smooth") {
    if (options.glideSeconds || options.rampSeconds) {
      throw Refusal(std::string(options.glideSeconds ? "--glide" : "--ramp") +
                    ": needs --shape smooth");
    }
    return;
  }
  const double symbol = std::max(0.0, plan.tones.SymbolLength);
  // In ordinary Morse timing the gap after an element is a dot.
  const double gap = std::max(
      0.0, hasMorseTiming(plan.tones.mode) ? plan.tones.SymbolLength : plan.tones.InterSymbol);
  const double glide = options.glideSeconds.value_or(std::min(kGlideShare * symbol, gap));
  const double ramp = options.rampSeconds.value_or(kRampShare * symbol);
  const std::int64_t glideFrames = framesAt(glide, options.rateHz);
  if (glideFrames > framesAt(gap, options.rateHz) ||
      2 * glideFrames > framesAt(symbol, options.rateHz)) {
    throw Refusal("--glide: " + numberText(glide) +
                  " s does not fit: a glide may last at most the gap after each element (" +
                  numberText(gap) + " s) and half a symbol (" + numberText(symbol / 2) + " s)");
  }
  plan.tones.smooth = SmoothShape{glideFrames, framesAt(ramp, options.rateHz)};
}

}  // namespace bitoner::cli
