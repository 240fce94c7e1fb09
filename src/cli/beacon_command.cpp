// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/beacon_command.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>

#include "keying/beacon.h"
#include "keying/fixed_run.h"
#include "keying/schedule.h"
#include "recording/recording.h"
#include "signals/stop_signals.h"
#include "sound/pulse_player.h"

namespace bitoner::cli {

namespace {

Milliseconds durationOf(const std::string& option, const std::string& text, bool zeroAllowed) {
  const std::optional<Milliseconds> value = parseDuration(text);
  if (!value || (!zeroAllowed && *value <= Milliseconds(0))) {
    throw Refusal(option + ": \"" + text +
                  "\" is not a duration; give seconds or a number with s, m or h, such as 90s, "
                  "10m or 1h, of at most a day" +
                  (zeroAllowed ? "" : " and more than 0"));
  }
  return *value;
}

// One pass and the idle symbol that ends it.
std::int64_t passFrames(const BeaconConfig& config) {
  return countFixedRunFrames(*config.tones, {config.message, 1});
}

// Says how long one pass lasts, and warns when it does not fit its period.
void reportPassLength(const BeaconConfig& config, std::int64_t frames, bool quiet) {
  const std::string length = secondsText(frames, config.sampleRateHz);
  if (!quiet) {
    say("beacon", utcText(WallClock::now()) + " one pass lasts " + length + " (" +
                      std::to_string(frames) + " frames)");
  }
  if (config.schedule) {
    const auto period = std::chrono::duration<double>(config.schedule->every).count();
    if (static_cast<double>(frames) / config.sampleRateHz > period) {
      say("beacon", utcText(WallClock::now()) + " warning: a pass lasts " + length +
                        ", longer than its period of " +
                        secondsText(config.schedule->every.count(), 1000) +
                        ": each pass starts in the first slot free after the one before");
    }
  }
}

}  // namespace

CLI::App* addBeaconCommand(CLI::App& app, BeaconOptions& options) {
  CLI::App* beacon = app.add_subcommand(
      "beacon", "Key the message through the sound server pass after pass, with no display");
  beacon
      ->add_option("--every", options.every,
                   "Start passes on the wall clock every DURATION after 00:00 UTC (90s, 10m, 1h)")
      ->type_name("DURATION");
  beacon->add_option("--offset", options.offset, "With --every: start that much later (4m)")
      ->type_name("DURATION");
  beacon
      ->add_option("--passes", options.passes, "Stop after N passes; without it, run until stopped")
      ->type_name("N")
      ->check(passCount());
  beacon->add_flag("--quiet", options.quiet, "Report only faults")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  addSignalOptions(*beacon, options.signal, kMaxSoundRateHz, true);
  addKeyingOptions(*beacon, options.keying);
  return beacon;
}

namespace {

// The beacon's settings from the options. Throws Refusal.
BeaconConfig configure(const BeaconOptions& options) {
  BeaconConfig config;
  if (options.offset && !options.every) {
    throw Refusal("--offset: needs --every");
  }
  RunPlan plan = planRun(options.keying);
  applySignalOptions(options.signal, plan);
  // Refuses tones that cannot be keyed, before anything plays.
  config.tones = makeToneBank(plan.tones, ToneBank::kPlayerKeptFramesLimit);
  config.message = plan.message;
  config.sampleRateHz = plan.tones.Fsample;
  if (options.every) {
    config.schedule = PassSchedule{
        durationOf("--every", *options.every, false),
        options.offset ? durationOf("--offset", *options.offset, true) : Milliseconds(0)};
    // A larger offset names the same slots as a smaller one: the operator meant something else.
    if (config.schedule->offset >= config.schedule->every) {
      throw Refusal("--offset: \"" + *options.offset + "\" is not below --every \"" +
                    *options.every + "\"; give an offset shorter than the period");
    }
  }
  // A pass of no frames would spin through passes without a pause, keying nothing.
  if (passFrames(config) == 0) {
    throw Refusal("a pass would hold no frames: at " + std::to_string(config.sampleRateHz) +
                  " Hz every tone of the message is shorter than one sample (--symbol, --gap)");
  }
  config.passes = options.passes;
  config.quiet = options.quiet;
  config.terminal = isatty(STDERR_FILENO) == 1;
  return config;
}

}  // namespace

int runBeaconCommand(const BeaconOptions& options) {
  return reportOutcome("beacon", [&options] {
    const BeaconConfig config = configure(options);
    reportPassLength(config, passFrames(config), options.quiet);
    // A first signal ends the run after the element being sent; a second one at once, as the
    // shell expects of a signal it sends again.
    const StopSignals stop({.interruptCalls = false, .secondEndsProcess = true});
    PulsePlayer player;
    return runBeacon(config, player, stop, std::cerr) ? kExitDone : kExitFailed;
  });
}

}  // namespace bitoner::cli
