// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace bitoner {

inline constexpr std::int32_t kSampleRateHz = 11025;
// Full scale of the tones: a little under 32767 so that rounding can never overflow a sample.
inline constexpr double kFullScale = 32700.0;

// Reads the number a parameter box's text begins with: blanks, tabs and line feeds are ignored
// wherever they stand; an optional sign, digits with at most one ".", an optional exponent (E or D,
// either case, optional sign, digits), or an &H / &O integer. Reading stops at the first character
// that cannot continue the number; a text that does not begin with a number reads 0. Independent of
// the process locale. A value beyond the double range reads as +/-infinity, a tiny one as 0.
double readNumber(std::string_view text);

// Whether the number rule finds a number at the start of `text` (after blanks, tabs and line
// feeds): a digit, optionally after a sign or a ".", or &H / &O followed by a digit of its radix.
// A text for which this is false reads 0 without having said so.
bool beginsWithNumber(std::string_view text);

// The six parameter boxes.
enum class Box { IdleFreq, DotFreq, DashFreq, SymbLen, Intgap, dB };

// The texts written into the parameter boxes at load, in the order they are written. SymbLen comes
// before Intgap so that the gap ends as a share of the default symbol length.
inline constexpr std::array<std::pair<Box, std::string_view>, 6> kDefaultTexts{{
    {Box::IdleFreq, "600"},
    {Box::DotFreq, "1000"},
    {Box::DashFreq, "1200"},
    {Box::SymbLen, "0.5"},
    {Box::Intgap, "10"},
    {Box::dB, "-10"},
}};

// The keying parameters that belong to the window, derived from the box texts by the change
// handlers. The frequencies are not kept here: the tone synthesis reads them from their boxes.
struct KeyingParameters {
  std::int32_t Fsample = 0;   // Hz, set to kSampleRateHz at load
  double SymbolLength = 0.0;  // seconds: dot, dash and idle symbol
  double InterSymbol = 0.0;   // seconds: gap after every dot or dash
  double Ampl = 0.0;          // peak sample value, always within 0..kFullScale

  // Change handlers of the boxes that derive a parameter, each given the box texts it reads. A
  // frequency box derives nothing here: the tone synthesis reads its text.
  void SymbLen_Change(std::string_view symbLenText, std::string_view intgapText);
  void Intgap_Change(std::string_view intgapText);
  void dB_Change(std::string_view dBText);

  // Runs the change handler of `box`, reading the box texts it needs through `textOf`.
  void Box_Change(Box box, const std::function<std::string(Box)>& textOf);

  // What the window's load does: Fsample set and every box given its default text through
  // `setBoxText` (which runs that box's handler).
  void load(const std::function<void(Box, const std::string&)>& setBoxText);
};

// Symbol lengths above 100 are taken as milliseconds at GO. Returns the text to write back into the
// SymbLen box (a blank first, no digit before the point below 1, the shortest text that reads back
// to the same double: 250 -> " .25", 1500 -> " 1.5"), or nothing when the length is left alone.
// An infinite length is left alone: dividing it would not change it, and no text of the number
// rule spells infinity more faithfully than the one the operator typed.
std::optional<std::string> normalisedSymbLenText(double SymbolLength);

}  // namespace bitoner
