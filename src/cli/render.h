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

// `bitoner render`: a whole message as one I/Q recording, sample for sample what is keyed.
struct RenderOptions {
  KeyingOptions keying;
  std::string output;
  std::int64_t loopPasses = 0;  // 0: Loop clear
  SignalOptions signal;
  std::string format = "ci16";
  std::optional<double> frequencyHz;  // RF of baseband 0, for SigMF
  std::optional<std::string> start;   // UTC time of the first frame, for SigMF
  std::optional<double> snrDb;        // with a seed: noise added at this ratio
  std::optional<std::uint64_t> seed;
  bool force = false;  // raw frames to standard output even when it is a terminal
};

// Adds the render subcommand to `app`; the options land in `options` when it is parsed.
CLI::App* addRenderCommand(CLI::App& app, RenderOptions& options);

// Renders; reports on standard error and returns the exit status. SIGINT and SIGTERM during the
// render remove what was being written and end the process by that signal.
int runRender(const RenderOptions& options);

}  // namespace bitoner::cli
