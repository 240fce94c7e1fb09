#pragma once

#include <array>
#include <string_view>

namespace bitoner {

// The pattern table: a Morse pattern for every character code 0 to 90, "0" a dot and "1" a dash,
// read left to right. An empty pattern sends no elements. Codes above 90 have no entry.
inline constexpr int kPatternCodes = 91;
using PatternTable = std::array<std::string_view, kPatternCodes>;

// Fills the table: codes 32 to 90 as listed, 0 to 31 empty. (Defined here, constexpr.)
constexpr PatternTable CWchars();

}  // namespace bitoner
