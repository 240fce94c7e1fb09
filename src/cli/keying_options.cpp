// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/keying_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <utility>
#include <variant>

#include "engine/keying_steps.h"
#include "engine/run_plan.h"

namespace bitoner::cli {

namespace {

struct BoxOption {
  Box box;
  const char* name;
  const char* help;
};

// One option per parameter box of the window, with the box's default in its help.
constexpr std::array<BoxOption, 6> kBoxOptions{{
    {Box::IdleFreq, "--idle", "Idle tone frequency in Hz, between characters (default 600)"},
    {Box::DotFreq, "--dot", "Dot frequency in Hz (default 1000)"},
    {Box::DashFreq, "--dash", "Dash frequency in Hz (default 1200)"},
    {Box::SymbLen, "--symbol",
     "Length of a dot, a dash and an idle symbol in seconds; above 100 taken as milliseconds "
     "(default 0.5)"},
    {Box::Intgap, "--gap", "Gap after every dot and dash, in percent of the symbol (default 10)"},
    {Box::dB, "--db", "Level in dB below full scale; the sign is ignored (default -10)"},
}};

// Six significant digits: a description for people, not a value to compute with.
std::string numberText(double value) {
  constexpr int kDigits = 6;
  char text[32];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, kDigits);
  return std::string(text, end);
}

std::string refusalText(const MessageRefusal& refusal) {
  if (refusal.tooLong()) {
    return "the message has " + std::to_string(refusal.length) + " characters; at most " +
           std::to_string(kMaxMessageLength) + " can be keyed";
  }
  const bool one = refusal.unkeyable.size() == 1;
  return std::string("the message cannot be keyed: it holds ") +
         (one ? "a character that has" : "characters that have") +
         " no Morse pattern: " + listCharacters(refusal.unkeyable);
}

// The tone a planning refusal names, in the words of the options that shape it.
std::string toneInOptionTerms(std::string_view fileName) {
  if (fileName == toneFileName(Tone::Idle)) {
    return "the idle tone (--idle, --symbol)";
  }
  if (fileName == toneFileName(Tone::Gap)) {
    return "the gap after each element (--idle, --gap, --symbol)";
  }
  if (fileName == toneFileName(Tone::Dot)) {
    return "the dot (--dot, --symbol)";
  }
  return "the dash (--dash, --symbol)";
}

}  // namespace

CLI::Validator passCount() {
  return CLI::Validator(
      [](const std::string& value) {
        std::int64_t passes = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), passes);
        return (ec == std::errc() && end == value.data() + value.size() && passes >= 1)
                   ? std::string()
                   : "\"" + value + "\" is not a count of 1 or more";
      },
      "N");
}

CLI::Validator numberValidator() {
  return CLI::Validator(
      [](const std::string& value) {
        return beginsWithNumber(value) ? std::string()
                                       : "\"" + value + "\" does not begin with a number";
      },
      "NUMBER");
}

void addBoxOptions(CLI::App& command, std::span<const Box> boxes,
                   std::array<std::optional<std::string>, kDefaultTexts.size()>& texts) {
  for (const BoxOption& option : kBoxOptions) {
    if (std::find(boxes.begin(), boxes.end(), option.box) != boxes.end()) {
      command.add_option(option.name, texts[static_cast<std::size_t>(option.box)], option.help)
          ->check(numberValidator())
          ->option_text("NUMBER");
    }
  }
}

void addKeyingOptions(CLI::App& command, KeyingOptions& options) {
  constexpr std::array kAllBoxes{Box::IdleFreq, Box::DotFreq, Box::DashFreq,
                                 Box::SymbLen,  Box::Intgap,  Box::dB};
  addBoxOptions(command, kAllBoxes, options.boxTexts);
  // Refused when repeated, as every other option is.
  command.add_flag("--invert", options.invert, "Invert I/Q: the tones at negative frequencies")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  command
      .add_option("MESSAGE", options.message,
                  "The message: the remaining arguments joined by single blanks")
      ->required();
}

KeyingSetup resolveKeying(const KeyingOptions& options) {
  BoxTexts texts = defaultBoxTexts();
  for (const auto& [box, defaultText] : kDefaultTexts) {
    if (const auto& typed = options.text(box)) {
      texts[static_cast<std::size_t>(box)] = *typed;
    }
  }
  std::string joined;
  for (std::size_t k = 0; k < options.message.size(); ++k) {
    joined += (k == 0 ? "" : " ") + options.message[k];
  }
  auto prepared = prepareRun(texts, fromUtf8(joined), options.invert);
  if (const auto* refusal = std::get_if<RunRefusal>(&prepared)) {
    throw Refusal(refusalText(refusal->reason));
  }
  RunPlan& plan = std::get<RunPlan>(prepared);
  return KeyingSetup{.boxTexts = std::move(plan.boxTexts),
                     .parameters = plan.parameters,
                     .tones = std::move(plan.tones),
                     .message = std::move(plan.message)};
}

std::string KeyingSetup::description() const {
  const ToneInputs& in = tones;
  return "\"" + toUtf8(message) + "\" keyed by Bitoner: idle " +
         numberText(readNumber(in.idleFreqText)) + " Hz, dot " +
         numberText(readNumber(in.dotFreqText)) + " Hz, dash " +
         numberText(readNumber(in.dashFreqText)) + " Hz, symbol " + numberText(in.SymbolLength) +
         " s, gap " + numberText(in.InterSymbol) + " s, level -" +
         numberText(std::fabs(readNumber(text(Box::dB)))) + " dB (peak " + numberText(in.Ampl) +
         "), I/Q " + (in.invert ? "inverted" : "not inverted") + ", " + std::to_string(in.Fsample) +
         " Hz sample rate";
}

std::shared_ptr<const ToneBank> makeToneBank(const KeyingSetup& setup,
                                             std::int64_t keptFramesLimit) {
  // A tone at or above half the sample rate comes out at another frequency. The window keys it
  // as its boxes say; the command line refuses it.
  const double limitHz = setup.tones.Fsample / 2.0;
  for (const BoxOption& option : kBoxOptions) {
    if (option.box != Box::IdleFreq && option.box != Box::DotFreq && option.box != Box::DashFreq) {
      continue;
    }
    const double frequencyHz = readNumber(setup.text(option.box));
    if (std::isfinite(frequencyHz) && std::fabs(frequencyHz) >= limitHz) {
      throw Refusal(std::string(option.name) + ": " + numberText(frequencyHz) +
                    " Hz would come out at another frequency: at " +
                    std::to_string(setup.tones.Fsample) +
                    " samples a second a tone must lie strictly between -" + numberText(limitHz) +
                    " and " + numberText(limitHz) + " Hz, half the sample rate");
    }
  }
  try {
    return std::make_shared<const ToneBank>(setup.tones, keptFramesLimit);
  } catch (const ToneError& error) {
    if (error.fileName().empty()) {
      throw Refusal(error.what());
    }
    throw Refusal(toneInOptionTerms(error.fileName()) + " cannot be keyed: " + error.cause());
  }
}

}  // namespace bitoner::cli
