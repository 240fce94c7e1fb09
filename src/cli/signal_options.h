// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/keying_options.h"

namespace CLI {
class App;
}

namespace bitoner::cli {

// The highest rates the command line synthesises at: a sound card's, and a file's.
inline constexpr std::int32_t kMinRateHz = 8000;
inline constexpr std::int32_t kMaxSoundRateHz = 192000;
inline constexpr std::int32_t kMaxFileRateHz = 10'000'000;

// How the signal is made, beyond what the window's boxes say: its shape, its rate and the sound
// card's clock error.
struct SignalOptions {
  std::string shape = "hard";
  std::optional<double> glideSeconds;
  std::optional<double> rampSeconds;
  std::int32_t rateHz = kSampleRateHz;
  double ppm = 0.0;
};

// Adds --rate (kMinRateHz to `maxRateHz`) and --ppm to a subcommand, and with `shapes` also
// --shape, --glide and --ramp.
void addSignalOptions(CLI::App& command, SignalOptions& options, std::int32_t maxRateHz,
                      bool shapes);

// Makes the plan's tones at the chosen rate, corrected for the clock, and in the chosen shape.
// Throws Refusal for a glide that does not fit the gap or half a symbol, or a negative ramp.
void applySignalOptions(const SignalOptions& options, RunPlan& plan);

// Seconds at a rate as whole frames, rounded as the tones' lengths are.
std::int64_t framesAt(double seconds, std::int32_t rateHz);

// Frames at a rate as seconds with one decimal, "12.5 s".
std::string secondsText(std::int64_t frames, std::int32_t rateHz);

}  // namespace bitoner::cli
