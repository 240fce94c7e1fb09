// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli/outcome.h"
#include "engine/parameters.h"
#include "engine/tones.h"

namespace CLI {
class App;
class Validator;
}  // namespace CLI

namespace bitoner::cli {

// The keying options and the message as typed, before anything is derived from them.
struct KeyingOptions {
  std::array<std::optional<std::string>, kDefaultTexts.size()> boxTexts;  // indexed by Box
  bool invert = false;
  std::vector<std::string> message;  // the remaining arguments

  std::optional<std::string>& text(Box box) { return boxTexts[static_cast<std::size_t>(box)]; }
  const std::optional<std::string>& text(Box box) const {
    return boxTexts[static_cast<std::size_t>(box)];
  }
};

// Checks a count of passes: a whole number of 1 or more, the refusal naming the value.
CLI::Validator passCount();

// A value that begins with a number, as the boxes read it; the refusal names the value.
CLI::Validator numberValidator();

// Adds the options of `boxes` (--idle, --dot, --dash, --symbol, --gap, --db) to a command, each
// filling its box's text in `texts` and checked by numberValidator().
void addBoxOptions(CLI::App& command, std::span<const Box> boxes,
                   std::array<std::optional<std::string>, kDefaultTexts.size()>& texts);

// Adds --idle, --dot, --dash, --symbol, --gap, --db, --invert and the MESSAGE arguments to a
// subcommand. A value that does not begin with a number is a usage error naming its option.
void addKeyingOptions(CLI::App& command, KeyingOptions& options);

// What a run keys: the parameters and tones derived from the options' texts by the number rule.
struct KeyingSetup {
  std::array<std::string, kDefaultTexts.size()> boxTexts;  // as the boxes would hold them
  KeyingParameters parameters;
  ToneInputs tones;
  std::u32string message;  // upper-cased

  const std::string& text(Box box) const { return boxTexts[static_cast<std::size_t>(box)]; }
  // The message and the parameters in one line, for people and for file metadata.
  std::string description() const;
};

// Starts from the defaults, applies the options in turn, upper-cases the message and normalises a
// symbol length given in milliseconds. Throws Refusal for a message that cannot be keyed, naming
// the characters.
KeyingSetup resolveKeying(const KeyingOptions& options);

// The four tones of the run. Throws Refusal, worded in terms of the options, where they cannot be
// planned. Tones of up to `keptFramesLimit` frames are kept in memory.
std::shared_ptr<const ToneBank> makeToneBank(
    const KeyingSetup& setup, std::int64_t keptFramesLimit = ToneBank::kKeptFramesLimit);

}  // namespace bitoner::cli
