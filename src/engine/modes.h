// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace bitoner {

// The ways of keying a message. Every mode is walked by the same keying steps and played as the
// same four tones (Idle, Gap, Dot, Dash); a mode only chooses how long each tone lasts, which
// frequency it sounds and whether it sounds at all.
enum class Mode : std::uint8_t {
  ThreeTone,  // the window's: every element a symbol long, dots and dashes on two tones, every
              // pause on the idle tone
  Dfcw,       // three-tone's timing and dot and dash tones, silence wherever it sends idle
  Qrss,       // one tone switched on and off with ordinary Morse timing
  Fskcw,      // ordinary Morse timing on a carrier that never stops: key up below key down
};

inline constexpr std::array<Mode, 4> kModes{Mode::ThreeTone, Mode::Dfcw, Mode::Qrss, Mode::Fskcw};

// The name a user types for the mode: "three-tone", "dfcw", "qrss", "fskcw".
std::string_view modeName(Mode mode);
// The mode of a typed name; none for a name that is not one.
std::optional<Mode> modeNamed(std::string_view name);

// Ordinary Morse timing: with the symbol as the dot, a dash lasts three dots, the gap after an
// element one, the end of a character three (the gap and two more), and a word space seven (a
// character end and four more). Three-tone and DFCW give every element and pause one symbol.
constexpr bool hasMorseTiming(Mode mode) { return mode == Mode::Qrss || mode == Mode::Fskcw; }

// In ordinary Morse timing, how many symbols a dash and a character end's idle last.
inline constexpr std::int32_t kDashDots = 3;
inline constexpr std::int32_t kCharacterEndDots = 2;

// Whether the mode keys the pauses (the gap after an element and the idle after a character) as
// silence rather than as a tone.
constexpr bool hasSilentPauses(Mode mode) { return mode == Mode::Dfcw || mode == Mode::Qrss; }

}  // namespace bitoner
