// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/modes.h"

namespace bitoner {

namespace {

constexpr std::array<std::string_view, kModes.size()> kModeNames{"three-tone", "dfcw", "qrss",
                                                                 "fskcw"};

}  // namespace

std::string_view modeName(Mode mode) { return kModeNames[static_cast<std::size_t>(mode)]; }

std::optional<Mode> modeNamed(std::string_view name) {
  for (const Mode mode : kModes) {
    if (modeName(mode) == name) {
      return mode;
    }
  }
  return std::nullopt;
}

}  // namespace bitoner
