// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/tune.h"

#include <CLI/CLI.hpp>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/keying_options.h"
#include "keying/keyer.h"
#include "signals/stop_signals.h"
#include "sound/pulse_player.h"

namespace bitoner::cli {

namespace {

// How long the tone takes to rise and to fall: no click on the air as it starts or stops.
constexpr double kTuneRampSeconds = 0.1;

// Keys until a stop signal comes, seen at the next boundary.
class UntilStopped : public KeyingObserver {
 public:
  explicit UntilStopped(const StopSignals& stop) : stop_(stop) {}
  bool goOn() override { return stop_.received() == 0; }

 private:
  const StopSignals& stop_;
};

}  // namespace

CLI::App* addTuneCommand(CLI::App& app, TuneOptions& options) {
  CLI::App* tune = app.add_subcommand(
      "tune",
      "Send one steady tone until Ctrl-C, to set up the transmitter or to measure the sound "
      "card's clock (see --ppm)");
  const CLI::Validator number = numberValidator();
  CLI::Option* freq = tune->add_option("--freq", options.frequencyText, "Frequency in Hz")
                          ->check(number)
                          ->option_text("HZ");
  CLI::Option* idle =
      tune->add_flag("--idle", options.idle, "The idle tone's default frequency, 600 Hz");
  CLI::Option* dot =
      tune->add_flag("--dot", options.dot, "The dot's default frequency, 1000 Hz (the default)");
  CLI::Option* dash =
      tune->add_flag("--dash", options.dash, "The dash's default frequency, 1200 Hz");
  freq->excludes(idle)->excludes(dot)->excludes(dash);
  idle->excludes(dot)->excludes(dash);
  dot->excludes(dash);
  tune->add_option("--db", options.dBText,
                   "Level in dB below full scale; the sign is ignored (default -10)")
      ->check(number)
      ->option_text("NUMBER");
  tune->add_flag("--invert", options.invert, "Invert I/Q: the tone at the negative frequency")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  addSignalOptions(*tune, options.signal, kMaxSoundRateHz, false);
  tune->footer(
      "Examples:\n"
      "  bitoner tune --rate 48000 --freq 1000\n"
      "  bitoner tune --dash --ppm 12.5");
  return tune;
}

namespace {

// The option that chose the tone, for a refusal to name.
std::string_view toneOption(const TuneOptions& options) {
  if (options.idle) {
    return "--idle";
  }
  if (options.dot) {
    return "--dot";
  }
  return options.dash ? "--dash" : "--freq";
}

// The run as the options give it: the tone is its idle tone. Throws Refusal.
RunPlan tunePlan(const TuneOptions& options) {
  KeyingOptions keying;
  std::string frequency = "1000";
  if (options.frequencyText) {
    frequency = *options.frequencyText;
  } else if (options.idle) {
    frequency = "600";
  } else if (options.dash) {
    frequency = "1200";
  }
  keying.text(Box::IdleFreq) = frequency;
  keying.text(Box::dB) = options.dBText;
  keying.invert = options.invert;
  RunPlan plan = planRun(keying);
  applySignalOptions(options.signal, plan);
  // The idle symbol, played over and over with one phase and no glide, is the steady tone.
  plan.tones.smooth = SmoothShape{0, framesAt(kTuneRampSeconds, plan.tones.Fsample)};
  return plan;
}

}  // namespace

int runTune(const TuneOptions& options) {
  return reportOutcome("tune", [&options] {
    const RunPlan plan = tunePlan(options);
    const std::shared_ptr<const ToneBank> tones =
        makeToneBank(plan.tones, ToneBank::kPlayerKeptFramesLimit, toneOption(options));
    // A first signal ends the tone after the stretch being sent; a second one at once.
    const StopSignals stop({.interruptCalls = false, .secondEndsProcess = true});
    const double frequency = plan.tones.idleHz;
    std::array<char, 160> line{};
    std::snprintf(line.data(), line.size(),
                  "%.6g Hz at %d Hz, made at %.6f Hz for a clock %+.3f ppm fast; Ctrl-C stops",
                  frequency, tones->sampleRateHz(),
                  tones->plan(Tone::Idle).step * tones->sampleRateHz(), options.signal.ppm);
    say("tune", line.data());
    PulsePlayer player;
    player.describe("Tune: " + std::to_string(static_cast<long long>(frequency)) + " Hz");
    player.open(tones);
    SteadyTone steady;
    UntilStopped observer(stop);
    Keyer(*tones, player, observer).run(steady);
    player.drain();
    return kExitDone;
  });
}

}  // namespace bitoner::cli
