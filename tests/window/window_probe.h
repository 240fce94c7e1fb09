// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "engine/parameters.h"
#include "ui/form1.h"
#include "ui/window_layout.h"

namespace bitoner::testing {

// The window tests' one way into Form1, beyond what the operator can do: its controls, to drive
// and read as the operator does, the parameters its box handlers derived, and the few operations a
// test needs to reach without a sound server or a run behind them.
class WindowProbe {
 public:
  explicit WindowProbe(Form1& form) : form_(form) {}

  const Form1Controls& controls() const { return form_.controls_; }
  const KeyingParameters& parameters() const { return form_.params_; }

  // What a run shows, without a run: the display gaining a symbol, or cleared; GO and Stop
  // swapped.
  void appendPattern(char symbol) { form_.appendPattern(symbol); }
  void clearPattern() { form_.clearPattern(); }
  void showKeying(bool keying) { form_.showKeying(keying); }

 private:
  Form1& form_;
};

}  // namespace bitoner::testing
