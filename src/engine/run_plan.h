// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/keying_steps.h"
#include "engine/parameters.h"
#include "engine/tones.h"

namespace bitoner {

// The six parameter boxes' texts, indexed by Box.
using BoxTexts = std::array<std::string, kDefaultTexts.size()>;

inline const std::string& textOf(const BoxTexts& texts, Box box) {
  return texts[static_cast<std::size_t>(box)];
}

// The boxes as the window's load leaves them.
BoxTexts defaultBoxTexts();

// The keying parameters the change handlers derive from these texts: the same whatever order the
// boxes were written in, since every handler reads the texts as they are.
KeyingParameters deriveParameters(const BoxTexts& texts);

// What GO keys, prepared from the boxes, the message and Invert I/Q.
struct RunPlan {
  BoxTexts boxTexts;                       // after the symbol length was normalised
  std::optional<std::string> symbLenText;  // the normalised text, when it differs from the typed
  KeyingParameters parameters;
  std::u32string message;  // upper-cased
  ToneInputs tones;
};

// A message GO refuses, upper-cased as GO leaves it in the box, and why.
struct RunRefusal {
  std::u32string message;
  MessageRefusal reason;
};

// Upper-cases the message and refuses one that cannot be keyed; normalises a symbol length given
// in milliseconds. The refusal is a value for each front end to word for its own user.
std::variant<RunPlan, RunRefusal> prepareRun(const BoxTexts& texts, std::u32string_view message,
                                             bool invert);

}  // namespace bitoner
