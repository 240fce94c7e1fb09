// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/run_plan.h"

#include <utility>

namespace bitoner {

BoxTexts defaultBoxTexts() {
  BoxTexts texts;
  for (const auto& [box, text] : kDefaultTexts) {
    texts[static_cast<std::size_t>(box)] = std::string(text);
  }
  return texts;
}

KeyingParameters deriveParameters(const BoxTexts& texts) {
  KeyingParameters parameters;
  parameters.Fsample = kSampleRateHz;
  for (const auto& [box, defaultText] : kDefaultTexts) {
    parameters.Box_Change(box, [&texts](Box other) { return textOf(texts, other); });
  }
  return parameters;
}

std::variant<RunPlan, RunRefusal> prepareRun(const BoxTexts& texts, std::u32string_view message,
                                             bool invert) {
  RunPlan plan{.boxTexts = texts, .symbLenText = {}, .parameters = {}, .message = {}, .tones = {}};
  plan.message.reserve(message.size());
  for (const char32_t c : message) {
    plan.message.push_back(upperCase(c));
  }
  if (auto refusal = checkMessage(plan.message)) {
    return RunRefusal{std::move(plan.message), std::move(*refusal)};
  }
  plan.parameters = deriveParameters(plan.boxTexts);
  if ((plan.symbLenText = normalisedSymbLenText(plan.parameters.SymbolLength))) {
    plan.boxTexts[static_cast<std::size_t>(Box::SymbLen)] = *plan.symbLenText;
    plan.parameters = deriveParameters(plan.boxTexts);
  }
  const auto& idle = textOf(plan.boxTexts, Box::IdleFreq);
  const auto& dot = textOf(plan.boxTexts, Box::DotFreq);
  const auto& dash = textOf(plan.boxTexts, Box::DashFreq);
  plan.tones = ToneInputs{
      .idleHz = readNumber(idle),
      .dotHz = readNumber(dot),
      .dashHz = readNumber(dash),
      .Fsample = plan.parameters.Fsample,
      .SymbolLength = plan.parameters.SymbolLength,
      .InterSymbol = plan.parameters.InterSymbol,
      .Ampl = plan.parameters.Ampl,
      .invert = invert,
      .typed = {.idle = idle, .dot = dot, .dash = dash},
  };
  return plan;
}

}  // namespace bitoner
