// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "engine/parameters.h"
#include "engine/run_plan.h"

namespace bitoner::testing {

// The six parameter boxes in the state the window's load leaves them in, whose writes run the
// change handlers as the real boxes do.
class PlainBoxes {
 public:
  PlainBoxes() {
    params.load([this](Box box, const std::string& text) { writeBox(box, text); });
  }

  // What an operator types into a box: the text changes and the box's handler runs.
  void writeBox(Box box, const std::string& text) {
    texts[static_cast<std::size_t>(box)] = text;
    params.Box_Change(box, [this](Box other) { return textOf(texts, other); });
  }

  KeyingParameters params;
  BoxTexts texts;
};

}  // namespace bitoner::testing
