// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
#include <string>

#include "cli/signal_options.h"

namespace CLI {
class App;
}

namespace bitoner::cli {

// `bitoner tune`: one steady tone through the sound server until stopped, to set up a transmitter
// and to measure the sound card's clock against a reference receiver.
struct TuneOptions {
  std::optional<std::string> frequencyText;  // --freq, read by the number rule
  bool idle = false;
  bool dot = false;
  bool dash = false;
  std::optional<std::string> dBText;
  bool invert = false;
  SignalOptions signal;
};

CLI::App* addTuneCommand(CLI::App& app, TuneOptions& options);

// Plays the tone until SIGINT or SIGTERM, rising at the start and falling at the end. Returns the
// exit status.
int runTune(const TuneOptions& options);

}  // namespace bitoner::cli
