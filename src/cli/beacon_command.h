// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/keying_options.h"
#include "cli/signal_options.h"

namespace CLI {
class App;
}

namespace bitoner::cli {

// `bitoner beacon`: the message keyed through the sound server pass after pass, with no display,
// optionally on a wall-clock schedule.
struct BeaconOptions {
  KeyingOptions keying;
  std::optional<std::string> every;
  std::optional<std::string> offset;
  std::optional<std::int64_t> passes;
  bool quiet = false;
  SignalOptions signal;
};

CLI::App* addBeaconCommand(CLI::App& app, BeaconOptions& options);

// Runs the beacon until its passes are done or SIGINT/SIGTERM asks it to stop (after the element
// being sent; a second signal ends it at once). Returns the exit status.
int runBeaconCommand(const BeaconOptions& options);

}  // namespace bitoner::cli
