// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace bitoner {

// The pattern table: a Morse pattern for every character code 0 to 90, "0" a dot and "1" a dash,
// read left to right. An empty pattern sends no elements. Codes above 90 have no entry.
inline constexpr int kPatternCodes = 91;
using PatternTable = std::array<std::string_view, kPatternCodes>;

// Fills the table: codes 32 to 90 as listed, 0 to 31 empty. (Defined here, constexpr.)
constexpr PatternTable CWchars() {
  PatternTable CWcode{};  // every entry empty, the control codes 0 to 31 among them
  // Codes 32 to 90 in ascending order. "#" and "*" carry the procedural signals understood
  // (...-.) and wait (.-...); "+" and ":" are left empty on purpose.
  constexpr std::array<std::string_view, kPatternCodes - 32> kPrintable{
      "",        // 32 space
      "",        // 33 !
      "010010",  // 34 "
      "00010",   // 35 #
      "",        // 36 $
      "",        // 37 %
      "",        // 38 &
      "011110",  // 39 '
      "10110",   // 40 (
      "101101",  // 41 )
      "01000",   // 42 *
      "",        // 43 +
      "110011",  // 44 ,
      "100001",  // 45 -
      "010101",  // 46 .
      "10010",   // 47 /
      "11111",   // 48 0
      "01111",   // 49 1
      "00111",   // 50 2
      "00011",   // 51 3
      "00001",   // 52 4
      "00000",   // 53 5
      "10000",   // 54 6
      "11000",   // 55 7
      "11100",   // 56 8
      "11110",   // 57 9
      "",        // 58 :
      "",        // 59 ;
      "",        // 60 <
      "10001",   // 61 =
      "",        // 62 >
      "001100",  // 63 ?
      "011010",  // 64 @
      "01",      // 65 A
      "1000",    // 66 B
      "1010",    // 67 C
      "100",     // 68 D
      "0",       // 69 E
      "0010",    // 70 F
      "110",     // 71 G
      "0000",    // 72 H
      "00",      // 73 I
      "0111",    // 74 J
      "101",     // 75 K
      "0100",    // 76 L
      "11",      // 77 M
      "10",      // 78 N
      "111",     // 79 O
      "0110",    // 80 P
      "1101",    // 81 Q
      "010",     // 82 R
      "000",     // 83 S
      "1",       // 84 T
      "001",     // 85 U
      "0001",    // 86 V
      "011",     // 87 W
      "1001",    // 88 X
      "1011",    // 89 Y
      "1100",    // 90 Z
  };
  for (std::size_t i = 0; i < kPrintable.size(); ++i) {
    CWcode[32 + i] = kPrintable[i];
  }
  return CWcode;
}

static_assert(CWchars()['E'] == "0" && CWchars()['T'] == "1");
static_assert(CWchars()['S'] == "000" && CWchars()['O'] == "111");
static_assert(CWchars()[' '].empty() && CWchars()['\r'].empty());
static_assert(CWchars()['Z'] == "1100", "the table ends at Z");

}  // namespace bitoner
