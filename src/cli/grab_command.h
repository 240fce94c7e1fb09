// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "cli/decode_command.h"

namespace CLI {
class App;
}

namespace bitoner::cli {

// `bitoner grab`: spectrogram pictures of a recording or a sound server's source, in frames
// aligned to UTC.
struct GrabOptions {
  SoughtOptions sought;
  std::optional<std::string> searchText;  // the decoder's default where not typed
  std::string rateText = "11025";
  std::string input;  // a file, or "-" for standard input
  bool live = false;
  std::string device;
  std::string frameText = "10m";
  std::string updateText = "1m";
  std::optional<std::string> start;
  std::optional<double> lowHz;
  std::optional<double> highHz;
  std::optional<double> resolutionHz;
  std::optional<double> frequencyHz;
  std::optional<std::string> range;
  std::optional<std::string> title;
  bool decode = false;
  std::string outputDir = ".";
  std::string prefix = "grab";
  std::size_t stack = 0;
};

// Adds the grab subcommand to `app`; the options land in `options` when it is parsed.
CLI::App* addGrabCommand(CLI::App& app, GrabOptions& options);

// Grabs; returns the exit status: 0 written, 1 the recording, the source or a picture failed,
// 2 refused.
int runGrab(const GrabOptions& options);

}  // namespace bitoner::cli
