// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "sound/null_player.h"

namespace bitoner::testing {

// A sound output that plays nothing at once: for runs where only the window's side is looked at.
class SilentSound : public NullPlayer {
 public:
  SilentSound() : NullPlayer(Pace::AsFastAsAsked) {}
};

}  // namespace bitoner::testing
