// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "engine/tones.h"

namespace bitoner::testing {

// The names the window's sequencer once passed to the sound service for each tone; the logs of the
// order tests are written with them.
inline std::string_view playedName(Tone tone) {
  static constexpr std::array<std::string_view, 4> kNames{"idle.wav", "InterSymb.wav", "dot.wav",
                                                          "dash.wav"};
  return kNames.at(static_cast<std::size_t>(tone));
}

}  // namespace bitoner::testing
