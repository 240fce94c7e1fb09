// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/parameters.h"
#include "support/plain_boxes.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ReadNumber, ReadsTheNumberTheTextBeginsWith) {
  const std::string hugeDigits = "1" + std::string(400, '0');
  const std::string tinyFraction = "0." + std::string(400, '0') + "1";
  // clang-format off
  const std::pair<std::string, double> cases[] = {
      // Plain decimals.
      {"0.5", 0.5}, {"600", 600.0}, {"-10", -10.0}, {"+3", 3.0}, {".5", 0.5}, {"5.", 5.0},
      {"-.25", -0.25}, {"0.1", 0.1}, {"0.10000000000000002", 0.10000000000000002}, {"007", 7.0},
      // Exponents; a marker without digits ("1e", "1d-") is not part of the number.
      {"1e3", 1000.0}, {"1E3", 1000.0}, {"1d2", 100.0}, {"1D+2", 100.0}, {"2E-1", 0.2},
      {"2.5e+1", 25.0}, {".5e1", 5.0}, {"1e", 1.0}, {"1e+", 1.0}, {"1d-", 1.0}, {"1ex", 1.0},
      // Reading stops at the first character that cannot continue the number.
      {"250ms", 250.0}, {"1,5", 1.0}, {"1.2.3", 1.2}, {"12abc", 12.0}, {"1e5x", 1e5},
      {"1.5e2.5", 150.0}, {"3-4", 3.0}, {"5\r", 5.0},
      // Blanks, tabs and line feeds are ignored everywhere.
      {"1 2", 12.0}, {" \t\n42", 42.0}, {"- 5", -5.0}, {"1 e 2", 100.0}, {" .25", 0.25},
      {"0 . 5", 0.5}, {"4\t2\n", 42.0}, {"& H 1 F", 31.0},
      // Texts without a number read zero.
      {"", 0.0}, {"abc", 0.0}, {".", 0.0}, {"-", 0.0}, {"+-5", 0.0}, {"e5", 0.0}, {",5", 0.0},
      {"   ", 0.0}, {"\r5", 0.0}, {"inf", 0.0}, {"nan", 0.0}, {"0x10", 0.0},
      // Hex and octal integers; 64 one bits round to the nearest double, 2^64, without
      // accumulated error.
      {"&H1F", 31.0}, {"&h1f", 31.0}, {"&HFFFF", 65535.0}, {"&O17", 15.0}, {"&o17", 15.0},
      {"&H1G", 1.0}, {"&O178", 15.0}, {"&H", 0.0}, {"&O8", 0.0}, {"&", 0.0}, {"&X1", 0.0},
      {"&H.5", 0.0}, {"&O1777777777777777777777", 18446744073709551616.0},
      {"&HFFFFFFFFFFFFFFFF", 18446744073709551616.0},
      // Values beyond the double range saturate.
      {"1e400", kInf}, {"-1e400", -kInf}, {"1D999999999999999999999", kInf}, {hugeDigits, kInf},
      {"-" + hugeDigits, -kInf}, {hugeDigits + "e-500", 1e-100}, {"1e-400", 0.0},
      {tinyFraction, 0.0}, {tinyFraction + "e400", 1e-1}, {"&H" + std::string(300, 'F'), kInf},
      {"0e999999", 0.0}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    // Exact comparison: every expected value is the double the text denotes.
    EXPECT_EQ(readNumber(text), expected) << "text \"" << text << "\"";
  }
  EXPECT_TRUE(std::signbit(readNumber("-1e-400")));
}

TEST(ReadNumber, TellsWhetherATextBeginsWithANumber) {
  for (const std::string text : {"0", " -.5", "- 5", "250ms", "0e999999", "&H1F", "& h f", "&O7"}) {
    EXPECT_TRUE(beginsWithNumber(text)) << "text \"" << text << "\"";
  }
  for (const std::string text :
       {"", "abc", ".", "-", "+-5", "e5", ".e5", "inf", "&H", "&O8", "&", "&X1", "&H.5"}) {
    EXPECT_FALSE(beginsWithNumber(text)) << "text \"" << text << "\"";
    EXPECT_EQ(readNumber(text), 0.0) << "text \"" << text << "\"";
  }
}

// Qt puts the environment's locale into effect; a decimal comma there must not change the rule.
// No such locale may be installed, so one is compiled into a temporary directory when possible.
TEST(ReadNumber, IgnoresTheProcessLocale) {
  const char* const current = std::setlocale(LC_ALL, nullptr);
  const std::string previousLocale = current != nullptr ? current : "C";
  const testing::TempDir localeDir;
  std::optional<testing::ScopedEnv> locpath;
  const std::string build = "localedef -i de_DE -f UTF-8 -c '" +
                            (localeDir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
  bool switched = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  if (!switched && std::system(build.c_str()) == 0) {
    locpath.emplace("LOCPATH", localeDir.path().string());
    switched = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
  }
  const bool decimalComma = switched && std::string(std::localeconv()->decimal_point) == ",";
  const double half = readNumber("0.5");
  const double comma = readNumber("1,5");
  const double exponent = readNumber("2.5e-1");
  std::setlocale(LC_ALL, previousLocale.c_str());

  if (!decimalComma) {
    GTEST_SKIP() << "no locale with a decimal comma could be installed or built";
  }
  EXPECT_EQ(half, 0.5);
  EXPECT_EQ(comma, 1.0);
  EXPECT_EQ(exponent, 0.25);
}

// The boxes and their handlers as the window runs them, after the load.
using Boxes = testing::PlainBoxes;
constexpr double kDefaultAmpl = 10340.65;  // -10 dB below full scale

TEST(KeyingParameters, LoadDerivesTheDefaults) {
  const Boxes boxes;
  EXPECT_EQ(boxes.params.Fsample, 11025);
  EXPECT_EQ(boxes.params.SymbolLength, 0.5);
  EXPECT_NEAR(boxes.params.InterSymbol, 0.05, 1e-15);
  EXPECT_NEAR(boxes.params.Ampl, kDefaultAmpl, 0.005);
}

TEST(KeyingParameters, FrequenciesChangeNothingAndTheTextsAloneDecide) {
  Boxes boxes;
  for (const Box box : {Box::IdleFreq, Box::DotFreq, Box::DashFreq}) {
    boxes.writeBox(box, "1234");
    EXPECT_EQ(boxes.params.SymbolLength, 0.5);
    EXPECT_EQ(boxes.params.InterSymbol, 10.0 / 100.0 * 0.5);
    EXPECT_NEAR(boxes.params.Ampl, kDefaultAmpl, 0.005);
  }
  // What GO derives from the texts is what the handlers derived edit by edit, in any order.
  boxes.writeBox(Box::Intgap, "33");
  boxes.writeBox(Box::SymbLen, "0.3");
  boxes.writeBox(Box::dB, "-6");
  const KeyingParameters derived = deriveParameters(boxes.texts);
  EXPECT_EQ(derived.Fsample, boxes.params.Fsample);
  EXPECT_EQ(derived.SymbolLength, boxes.params.SymbolLength);
  EXPECT_EQ(derived.InterSymbol, boxes.params.InterSymbol);
  EXPECT_EQ(derived.Ampl, boxes.params.Ampl);
}

TEST(KeyingParameters, GapFollowsTheSymbolLengthDividingFirst) {
  Boxes boxes;
  boxes.writeBox(Box::SymbLen, "0.7");
  // 10 / 100 * 0.7 is 0.06999999999999999; multiplying first would give 0.07.
  EXPECT_EQ(boxes.params.InterSymbol, 0.1 * 0.7);
  EXPECT_NE(boxes.params.InterSymbol, 10.0 * 0.7 / 100.0);
  boxes.writeBox(Box::Intgap, "50");
  EXPECT_EQ(boxes.params.InterSymbol, 0.5 * 0.7);
  boxes.writeBox(Box::Intgap, "20");
  boxes.writeBox(Box::SymbLen, "2");
  EXPECT_EQ(boxes.params.SymbolLength, 2.0);
  EXPECT_EQ(boxes.params.InterSymbol, 0.4);

  // Empty boxes read zero.
  boxes.writeBox(Box::Intgap, "");
  EXPECT_EQ(boxes.params.InterSymbol, 0.0);
  boxes.writeBox(Box::Intgap, "10");
  boxes.writeBox(Box::SymbLen, "");
  EXPECT_EQ(boxes.params.SymbolLength, 0.0);
  EXPECT_EQ(boxes.params.InterSymbol, 0.0);
}

TEST(KeyingParameters, DecibelsAreAnAttenuationBelowFullScale) {
  struct Case {
    const char* text;
    double ampl;
    double tolerance;
  };
  const Case cases[] = {
      {"-10", 10340.65, 0.005}, {"10", 10340.65, 0.005},  {"+20", 3270.0, 1e-9},
      {"-20", 3270.0, 1e-9},    {"0", 32700.0, 0.0},      {"", 32700.0, 0.0},
      {"3", 23149.827, 0.001},  {"-3", 23149.827, 0.001}, {"7000", 0.0, 0.0},
      {"-7000", 0.0, 0.0},      {"1e400", 0.0, 0.0},      {"-1e400", 0.0, 0.0},
      {"&HFFFFFF", 0.0, 0.0},
  };
  for (const Case& c : cases) {
    KeyingParameters parameters;
    parameters.dB_Change(c.text);
    EXPECT_NEAR(parameters.Ampl, c.ampl, c.tolerance) << "dB \"" << c.text << "\"";
  }
}

// Lengths over a hundred seconds are taken for milliseconds and written back as seconds.
TEST(NormalisedSymbLenText, MillisecondsAreWrittenBackAsSeconds) {
  const std::optional<std::string> none;
  const std::pair<double, std::optional<std::string>> cases[] = {
      {250.0, " .25"}, {1500.0, " 1.5"},       {100.5, " .1005"},
      {1000.0, " 1"},  {123456.0, " 123.456"}, {1e300, " 1e+297"},
      {100.0, none},   {99.999, none},         {0.5, none},
      {0.0, none},     {-250.0, none},         {-kInf, none},
      {kInf, none}};
  for (const auto& [length, text] : cases) {
    EXPECT_EQ(normalisedSymbLenText(length), text) << length;
  }
  EXPECT_EQ(normalisedSymbLenText(std::nextafter(100.0, 200.0)), " .10000000000000002");
}

TEST(NormalisedSymbLenText, ReadsBackToTheSameDouble) {
  std::mt19937_64 random(20240611);
  std::uniform_real_distribution<double> decade(2.0, 308.0);
  std::vector<double> lengths = {std::nextafter(100.0, 200.0), 333.3, 1e22, 4.9e307,
                                 std::numeric_limits<double>::max()};
  for (int k = 0; k < 2000; ++k) {
    lengths.push_back(std::pow(10.0, decade(random)));
  }
  for (const double length : lengths) {
    if (!(length > 100.0)) {
      continue;
    }
    const auto text = normalisedSymbLenText(length);
    ASSERT_TRUE(text.has_value()) << length;
    ASSERT_EQ(text->front(), ' ');
    ASSERT_FALSE(text->starts_with(" 0")) << *text;
    EXPECT_EQ(readNumber(*text), length / 1000.0) << *text;

    // As at GO: the write-back re-derives both lengths from the texts.
    KeyingParameters parameters;
    parameters.SymbLen_Change(*text, "10");
    EXPECT_EQ(parameters.SymbolLength, length / 1000.0);
    EXPECT_EQ(parameters.InterSymbol, 10.0 / 100.0 * (length / 1000.0));
  }
}

}  // namespace
}  // namespace bitoner
