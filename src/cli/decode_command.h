// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decode/decoder.h"
#include "engine/parameters.h"
#include "engine/tones.h"
#include "recording/recorded_keying.h"

namespace CLI {
class App;
}

namespace bitoner::cli {

// A clock's error in parts per million, as a fraction.
inline constexpr double kPpmScale = 1e-6;

// The keying options' texts as typed, indexed by Box.
using BoxTexts = std::array<std::optional<std::string>, kDefaultTexts.size()>;

// The options of decode and grab that say what keying to look for, as typed.
struct SoughtOptions {
  BoxTexts boxTexts;  // --idle, --dot, --dash, --symbol and --gap, indexed by Box
  std::string mode;   // empty where --mode was not typed
  std::optional<std::string> freqText;
  std::optional<std::string> shiftText;
  bool invert = false;
  bool notInverted = false;   // --no-invert: whatever the recording says
  std::optional<double> ppm;  // grab's --ppm: the capture card's clock, corrected in the rate
};

// `bitoner decode`: reads the keying back out of a recording or a sound server's source.
struct DecodeOptions {
  SoughtOptions sought;
  std::optional<std::string> searchText;  // the decoder's default where not typed
  std::string driftText = "6";
  std::string rateText = "11025";
  bool verbose = false;
  std::string annotate;  // a .sigmf-meta file to write, or empty
  std::string input;     // a file, or "-" for standard input
  bool live = false;
  std::string device;  // the source to record for --live; empty for the server's default
};

// Adds the options of SoughtOptions to a command: --mode, --freq, --shift, --idle, --dot, --dash,
// --symbol, --gap, --invert and --no-invert (grab adds its --ppm itself).
void addSoughtOptions(CLI::App& command, SoughtOptions& options);

// The keying to look for: each option as typed; where it was not typed, as `recorded` says the
// recording was keyed (one line for each such setting into `taken`, e.g. "symbol 3 s"), else its
// default. A recorded setting the mode does not use is left alone. Throws Refusal for options
// the mode does not use and for values that cannot be planned, as render would.
ToneInputs soughtTones(const SoughtOptions& options, const RecordedKeying& recorded,
                       std::vector<std::string>& taken);

// Adds the decode subcommand to `app`; the options land in `options` when it is parsed.
CLI::App* addDecodeCommand(CLI::App& app, DecodeOptions& options);

// Decodes; prints the text on standard output, details on standard error; returns the exit
// status: 0 decoded (even nothing), 1 the recording or the source could not be read, 2 usage.
int runDecode(const DecodeOptions& options);

// Says on standard error, as `command`, the settings `taken` from the recording, if any.
void sayFollowed(std::string_view command, const std::vector<std::string>& taken);

// The band the tones of `tones` span, signed as the spectrum shows them: every tone the mode keys.
std::pair<double, double> keyedBand(const ToneInputs& tones);

// The decoder's settings for `tones` in a recording at `rateHz`, with --search as typed, or the
// decoder's default search where it was not.
decode::DecoderSettings decoderSettings(const ToneInputs& tones,
                                        const std::optional<std::string>& searchText,
                                        double rateHz);

// The recording to read, FILE or - for standard input, or with --live (described by `liveHelp`)
// a sound server's source, --device; the two exclude each other.
void addSourceOptions(CLI::App& command, std::string& input, bool& live, std::string& device,
                      const std::string& liveHelp);

// The --rate option of raw frames or of a live source, in hertz. Throws Refusal unless it is a
// whole number of hertz from 1 to kMaxSampleRateHz.
double rateOption(const std::string& rateText);

}  // namespace bitoner::cli
