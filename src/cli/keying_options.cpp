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

constexpr std::string_view kFreqDefault = "1000";
constexpr std::string_view kShiftDefault = "5";

// An option a mode does not use, and why, for the refusal that names them.
struct UnusedOption {
  Mode mode;
  std::string_view option;
  std::string_view why;
};

constexpr std::string_view kOwnTones =
    "it keys dots, dashes and pauses on --dot, --dash and --idle";
constexpr std::string_view kNoIdle = "it sends silence where three-tone sends the idle tone";
constexpr std::string_view kDfcwTones = "it keys dots and dashes on --dot and --dash";
constexpr std::string_view kOneTone = "it keys one tone, --freq";
constexpr std::string_view kMorseGaps =
    "its gaps follow ordinary Morse timing: one dot between elements, three between characters "
    "and seven between words";
constexpr std::string_view kFskTones = "it keys down at --freq and up --shift below it";
constexpr std::array<UnusedOption, 14> kUnusedOptions{{
    {Mode::ThreeTone, "--freq", kOwnTones},
    {Mode::ThreeTone, "--shift", kOwnTones},
    {Mode::Dfcw, "--idle", kNoIdle},
    {Mode::Dfcw, "--freq", kDfcwTones},
    {Mode::Dfcw, "--shift", kDfcwTones},
    {Mode::Qrss, "--idle", kOneTone},
    {Mode::Qrss, "--dot", kOneTone},
    {Mode::Qrss, "--dash", kOneTone},
    {Mode::Qrss, "--gap", kMorseGaps},
    {Mode::Qrss, "--shift", "it switches one tone on and off; --shift is FSKCW's"},
    {Mode::Fskcw, "--idle", kFskTones},
    {Mode::Fskcw, "--dot", kFskTones},
    {Mode::Fskcw, "--dash", kFskTones},
    {Mode::Fskcw, "--gap", kMorseGaps},
}};

// Whether the option was typed.
bool given(const KeyingOptions& options, std::string_view option) {
  if (option == "--freq") {
    return options.freqText.has_value();
  }
  if (option == "--shift") {
    return options.shiftText.has_value();
  }
  for (const BoxOption& box : kBoxOptions) {
    if (box.name == option) {
      return options.text(box.box).has_value();
    }
  }
  return false;
}

// Refuses the first option typed that the mode does not use.
void refuseUnused(const KeyingOptions& options, Mode mode) {
  for (const UnusedOption& unused : kUnusedOptions) {
    if (unused.mode == mode && given(options, unused.option)) {
      throw Refusal(std::string(unused.option) + ": not used with --mode " +
                    std::string(modeName(mode)) + ": " + std::string(unused.why));
    }
  }
}

// QRSS and FSKCW key --freq on the dot's and dash's tone and their key up on the idle tone's.
void placeModeTones(const KeyingOptions& options, Mode mode, ToneInputs& tones) {
  tones.mode = mode;
  if (!hasMorseTiming(mode)) {
    return;
  }
  const std::string freq = options.freqText.value_or(std::string(kFreqDefault));
  tones.dotHz = tones.dashHz = readNumber(freq);
  tones.typed.dot = tones.typed.dash = freq;
  if (mode == Mode::Fskcw) {
    tones.idleHz = tones.dotHz - readNumber(options.shiftText.value_or(std::string(kShiftDefault)));
    tones.typed.idle.clear();
  } else {
    tones.idleHz = tones.dotHz;
    tones.typed.idle = freq;
  }
}

// The tone a planning refusal names, in the words of the options that shape it.
std::string toneInOptionTerms(std::string_view fileName, Mode mode) {
  if (hasMorseTiming(mode)) {
    if (fileName == toneFileName(Tone::Dash)) {
      return "the dash (--freq, --symbol)";
    }
    return mode == Mode::Fskcw && fileName != toneFileName(Tone::Dot)
               ? "the key-up tone (--freq, --shift, --symbol)"
               : "the dot (--freq, --symbol)";
  }
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

std::string numberText(double value) {
  constexpr int kDigits = 6;
  char text[32];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::general, kDigits);
  return std::string(text, end);
}

CLI::Validator passCount() {
  return CLI::Validator(
      [](const std::string& value) {
        std::int64_t passes = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), passes);
        return (ec == std::errc() && end == value.data() + value.size() && passes >= 1)
                   ? std::string()
                   : "\"" + value + "\" is not a count of 1 or more";
      },
      // No description: it would be appended to the option's N in the help.
      "");
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

void addModeOptions(CLI::App& command, std::string& mode, std::optional<std::string>& freqText,
                    std::optional<std::string>& shiftText) {
  std::vector<std::string> names;
  for (const Mode each : kModes) {
    names.emplace_back(modeName(each));
  }
  command
      .add_option("--mode", mode,
                  "three-tone: every element a symbol, dots and dashes on two tones, pauses on the "
                  "idle tone (default); dfcw: the same, silence for the idle tone; qrss: --freq "
                  "on and off in ordinary Morse timing, --symbol the dot; fskcw: the same timing, "
                  "key up --shift below --freq")
      ->check(CLI::IsMember(names))
      ->option_text("three-tone|dfcw|qrss|fskcw");
  command
      .add_option(
          "--freq", freqText,
          "qrss and fskcw: the tone in Hz, key down (default " + std::string(kFreqDefault) + ")")
      ->check(numberValidator())
      ->option_text("HZ");
  command
      .add_option(
          "--shift", shiftText,
          "fskcw: key up this many Hz below key down (default " + std::string(kShiftDefault) + ")")
      ->check(numberValidator())
      ->option_text("HZ");
}

void addKeyingOptions(CLI::App& command, KeyingOptions& options) {
  addModeOptions(command, options.mode, options.freqText, options.shiftText);
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

RunPlan planRun(const KeyingOptions& options) {
  BoxTexts texts = defaultBoxTexts();
  for (const auto& [box, defaultText] : kDefaultTexts) {
    if (const auto& typed = options.text(box)) {
      texts[static_cast<std::size_t>(box)] = *typed;
    }
  }
  const Mode mode = modeNamed(options.mode).value_or(Mode::ThreeTone);
  refuseUnused(options, mode);
  std::string joined;
  for (std::size_t k = 0; k < options.message.size(); ++k) {
    joined += (k == 0 ? "" : " ") + options.message[k];
  }
  auto prepared = prepareRun(texts, fromUtf8(joined), options.invert);
  if (const auto* refusal = std::get_if<RunRefusal>(&prepared)) {
    throw Refusal(refusalText(refusal->reason));
  }
  RunPlan& plan = std::get<RunPlan>(prepared);
  placeModeTones(options, mode, plan.tones);
  return std::move(plan);
}

std::string describeRun(const RunPlan& plan) {
  const ToneInputs& in = plan.tones;
  const auto hz = [](double frequencyHz) { return numberText(frequencyHz) + " Hz"; };
  std::string keyed;
  switch (in.mode) {
    case Mode::ThreeTone:
      keyed = "idle " + hz(in.idleHz) + ", dot " + hz(in.dotHz) + ", dash " + hz(in.dashHz) +
              ", symbol " + numberText(in.SymbolLength) + " s, gap " + numberText(in.InterSymbol) +
              " s";
      break;
    case Mode::Dfcw:
      keyed = "DFCW: dot " + hz(in.dotHz) + ", dash " + hz(in.dashHz) + ", symbol " +
              numberText(in.SymbolLength) + " s, gap " + numberText(in.InterSymbol) +
              " s, silence between";
      break;
    case Mode::Qrss:
      keyed = "QRSS: " + hz(in.dotHz) + " on and off, dot " + numberText(in.SymbolLength) + " s";
      break;
    case Mode::Fskcw:
      keyed = "FSKCW: key down " + hz(in.dotHz) + ", key up " + hz(in.idleHz) + ", dot " +
              numberText(in.SymbolLength) + " s";
      break;
  }
  return "\"" + toUtf8(plan.message) + "\" keyed by Bitoner: " + keyed + ", level -" +
         numberText(std::fabs(readNumber(textOf(plan.boxTexts, Box::dB)))) + " dB (peak " +
         numberText(in.Ampl) + "), I/Q " + (in.invert ? "inverted" : "not inverted") + ", " +
         std::to_string(in.Fsample) + " Hz sample rate";
}

std::shared_ptr<const ToneBank> makeToneBank(const ToneInputs& tones, std::int64_t keptFramesLimit,
                                             std::string_view steadyOption) {
  // A tone at or above half the sample rate comes out at another frequency. The window keys it
  // as its boxes say; the command line refuses it.
  const Mode mode = tones.mode;
  const double limitHz = tones.Fsample / 2.0;
  const auto check = [&](double frequencyHz, std::string_view option) {
    if (std::isfinite(frequencyHz) && std::fabs(frequencyHz) >= limitHz) {
      throw Refusal(std::string(option) + ": " + numberText(frequencyHz) +
                    " Hz would come out at another frequency: at " + std::to_string(tones.Fsample) +
                    " samples a second a tone must lie strictly between -" + numberText(limitHz) +
                    " and " + numberText(limitHz) + " Hz, half the sample rate");
    }
  };
  if (!steadyOption.empty()) {
    check(tones.idleHz, steadyOption);
  } else if (hasMorseTiming(mode)) {
    check(tones.dotHz, "--freq");
    if (mode == Mode::Fskcw) {
      check(tones.idleHz, "--freq, --shift: the key-up tone");
    }
  } else {
    if (!hasSilentPauses(mode)) {
      check(tones.idleHz, "--idle");
    }
    check(tones.dotHz, "--dot");
    check(tones.dashHz, "--dash");
  }
  try {
    return std::make_shared<const ToneBank>(tones, keptFramesLimit);
  } catch (const ToneError& error) {
    if (error.fileName().empty()) {
      throw Refusal(error.what());
    }
    const std::string tone = steadyOption.empty() ? toneInOptionTerms(error.fileName(), tones.mode)
                                                  : "the tone (" + std::string(steadyOption) + ")";
    throw Refusal(tone + " cannot be keyed: " + error.cause());
  }
}

}  // namespace bitoner::cli
