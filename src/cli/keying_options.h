// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cli/outcome.h"
#include "engine/modes.h"
#include "engine/parameters.h"
#include "engine/run_plan.h"
#include "engine/tones.h"

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace bitoner::cli {

// The keying options and the message as typed, before anything is derived from them.
struct KeyingOptions {
  std::array<std::optional<std::string>, kDefaultTexts.size()> boxTexts;  // indexed by Box
  std::string mode{modeName(Mode::ThreeTone)};
  std::optional<std::string> freqText;   // QRSS and FSKCW: the tone, key down
  std::optional<std::string> shiftText;  // FSKCW: key up this far below key down
  bool invert = false;
  std::vector<std::string> message;  // the remaining arguments

  std::optional<std::string>& text(Box box) { return boxTexts[static_cast<std::size_t>(box)]; }
  const std::optional<std::string>& text(Box box) const {
    return boxTexts[static_cast<std::size_t>(box)];
  }
};

// A number in six significant digits: a description for people, not a value to compute with.
std::string numberText(double value);

// Checks a count of passes: a whole number of 1 or more, the refusal naming the value.
CLI::Validator passCount();

// A value that begins with a number, as the boxes read it; the refusal names the value.
CLI::Validator numberValidator();

// Adds the options of `boxes` (--idle, --dot, --dash, --symbol, --gap, --db) to a command, each
// filling its box's text in `texts` and checked by numberValidator().
void addBoxOptions(CLI::App& command, std::span<const Box> boxes,
                   std::array<std::optional<std::string>, kDefaultTexts.size()>& texts);

// Adds --mode, --freq and --shift to a command, filling the three values.
void addModeOptions(CLI::App& command, std::string& mode, std::optional<std::string>& freqText,
                    std::optional<std::string>& shiftText);

// Adds --mode, --freq, --shift, --idle, --dot, --dash, --symbol, --gap, --db, --invert and the
// MESSAGE arguments to a subcommand. A value that does not begin with a number is a usage error
// naming its option.
void addKeyingOptions(CLI::App& command, KeyingOptions& options);

// Starts from the defaults, applies the options in turn, upper-cases the message and normalises a
// symbol length given in milliseconds. The mode's tones take the idle, dot and dash tones' places:
// QRSS and FSKCW key --freq on dot and dash, and FSKCW its key up on idle. Throws Refusal for a
// message that cannot be keyed, naming the characters, and for an option the mode does not use,
// naming the mode.
RunPlan planRun(const KeyingOptions& options);

// The message and the parameters in one line, for people and for file metadata.
std::string describeRun(const RunPlan& plan);

// The four tones of the run. Throws Refusal where they cannot be planned, worded in terms of the
// keying options, or for one steady tone (its idle tone) of `steadyOption`, the option that set
// it. Tones of up to `keptFramesLimit` frames are kept in memory.
std::shared_ptr<const ToneBank> makeToneBank(
    const ToneInputs& tones, std::int64_t keptFramesLimit = ToneBank::kKeptFramesLimit,
    std::string_view steadyOption = {});

}  // namespace bitoner::cli
