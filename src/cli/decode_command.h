// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <optional>
#include <string>

#include "decode/decoder.h"
#include "engine/parameters.h"

namespace CLI {
class App;
}

namespace bitoner::cli {

// The keying options' texts as typed, indexed by Box.
using BoxTexts = std::array<std::optional<std::string>, kDefaultTexts.size()>;

// `bitoner decode`: reads the keying back out of a recording or a sound server's source.
struct DecodeOptions {
  std::array<std::optional<std::string>, kDefaultTexts.size()> boxTexts;  // indexed by Box
  std::string mode = "three-tone";
  std::optional<std::string> freqText;
  std::optional<std::string> shiftText;
  bool invert = false;
  std::string searchText = "3";
  std::string driftText = "6";
  std::string rateText = "11025";
  bool verbose = false;
  std::string annotate;  // a .sigmf-meta file to write, or empty
  std::string input;     // a file, or "-" for standard input
  bool live = false;
  std::string device;  // the source to record for --live; empty for the server's default
};

// Adds the decode subcommand to `app`; the options land in `options` when it is parsed.
CLI::App* addDecodeCommand(CLI::App& app, DecodeOptions& options);

// Decodes; prints the text on standard output, details on standard error; returns the exit
// status: 0 decoded (even nothing), 1 the recording or the source could not be read, 2 usage.
int runDecode(const DecodeOptions& options);

// The decoder's settings from the keying options as `decode` takes them, each value derived as the
// window derives it, for a recording at `rateHz`. Throws Refusal for options GO would refuse.
decode::DecoderSettings decoderSettings(const BoxTexts& boxTexts, bool invert,
                                        const std::string& searchText, double rateHz);

// The recording to read, FILE or - for standard input, or with --live (described by `liveHelp`)
// a sound server's source, --device; the two exclude each other.
void addSourceOptions(CLI::App& command, std::string& input, bool& live, std::string& device,
                      const std::string& liveHelp);

// The --rate option of raw frames or of a live source, in hertz. Throws Refusal unless it is a
// whole number of hertz from 1 to kMaxSampleRateHz.
double rateOption(const std::string& rateText);

}  // namespace bitoner::cli
