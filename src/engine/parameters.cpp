// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/parameters.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <system_error>

namespace bitoner {

namespace {

// The Intgap box holds percent of the symbol length.
constexpr double kPercent = 100.0;
// dB of amplitude: a = 10^(dB / 20).
constexpr double kDbPerDecadeOfAmplitude = 20.0;
// SymbLen values above this are taken as milliseconds.
constexpr double kMillisecondThresholdS = 100.0;
constexpr double kMillisecondsPerSecond = 1000.0;
// Beyond this a decimal exponent is certainly out of the double range either way; parsing stops
// growing it so that an absurdly long exponent cannot overflow our own counter.
constexpr std::int64_t kExponentSaturation = 1'000'000'000;

// Walks a box's text the way the number rule sees it: blanks, tabs and line feeds do not exist.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) { skipIgnored(); }

  // The next significant character, or '\0' at the end of the text.
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void advance() {
    ++pos_;
    skipIgnored();
  }

 private:
  void skipIgnored() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n')) {
      ++pos_;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

bool isDecimalDigit(char c) { return c >= '0' && c <= '9'; }
bool isOctalDigit(char c) { return c >= '0' && c <= '7'; }
bool isHexDigit(char c) {
  return isDecimalDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Hex digits read as a correctly rounded double; far too many of them read as infinity.
double hexDigitsValue(const std::string& digits) {
  if (digits.empty()) {
    return 0.0;
  }
  double value = 0.0;
  const auto [ptr, ec] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::hex);
  if (ec == std::errc::result_out_of_range) {
    return std::numeric_limits<double>::infinity();
  }
  return value;
}

// Octal digits are regrouped into hex digits so that long values round exactly as hex ones do.
double octalDigitsValue(const std::string& digits) {
  std::string bits;
  for (const char digit : digits) {
    const int value = digit - '0';
    bits += (value & 4) != 0 ? '1' : '0';
    bits += (value & 2) != 0 ? '1' : '0';
    bits += (value & 1) != 0 ? '1' : '0';
  }
  constexpr std::size_t kBitsPerHexDigit = 4;
  bits.insert(0, (kBitsPerHexDigit - bits.size() % kBitsPerHexDigit) % kBitsPerHexDigit, '0');
  std::string hex;
  for (std::size_t at = 0; at < bits.size(); at += kBitsPerHexDigit) {
    int nibble = 0;
    for (std::size_t bit = 0; bit < kBitsPerHexDigit; ++bit) {
      nibble = nibble * 2 + (bits[at + bit] - '0');
    }
    hex += "0123456789abcdef"[nibble];
  }
  return hexDigitsValue(hex);
}

double readRadixInteger(Cursor& cursor) {
  const char radix = cursor.peek();
  if (radix != 'H' && radix != 'h' && radix != 'O' && radix != 'o') {
    return 0.0;
  }
  const bool hex = radix == 'H' || radix == 'h';
  cursor.advance();
  std::string digits;
  while (hex ? isHexDigit(cursor.peek()) : isOctalDigit(cursor.peek())) {
    digits += cursor.peek();
    cursor.advance();
  }
  return hex ? hexDigitsValue(digits) : octalDigitsValue(digits);
}

}  // namespace

double readNumber(std::string_view text) {
  Cursor cursor(text);
  if (cursor.peek() == '&') {
    cursor.advance();
    return readRadixInteger(cursor);
  }

  // The number is copied without its blanks, with a plain 'e' for the exponent, so that
  // std::from_chars (locale independent, correctly rounded) can read it.
  std::string cleaned;
  bool negative = false;
  if (cursor.peek() == '+' || cursor.peek() == '-') {
    negative = cursor.peek() == '-';
    cursor.advance();
  }
  // The decimal order of the first significant digit, to tell an overflow from an underflow.
  std::int64_t leadingOrder = 0;
  bool seenSignificant = false;
  bool seenMantissaDigit = false;
  while (isDecimalDigit(cursor.peek())) {
    if (seenSignificant || cursor.peek() != '0') {
      seenSignificant = true;
      ++leadingOrder;
    }
    seenMantissaDigit = true;
    cleaned += cursor.peek();
    cursor.advance();
  }
  if (cursor.peek() == '.') {
    cleaned += '.';
    cursor.advance();
    while (isDecimalDigit(cursor.peek())) {
      if (!seenSignificant) {
        if (cursor.peek() == '0') {
          --leadingOrder;
        } else {
          seenSignificant = true;
        }
      }
      seenMantissaDigit = true;
      cleaned += cursor.peek();
      cursor.advance();
    }
  }
  if (!seenMantissaDigit) {
    return 0.0;
  }

  std::int64_t exponent = 0;
  const char marker = cursor.peek();
  if (marker == 'e' || marker == 'E' || marker == 'd' || marker == 'D') {
    cursor.advance();
    bool negativeExponent = false;
    if (cursor.peek() == '+' || cursor.peek() == '-') {
      negativeExponent = cursor.peek() == '-';
      cursor.advance();
    }
    // A marker without digits ("1e", "1e+") ends the number before the marker.
    if (isDecimalDigit(cursor.peek())) {
      cleaned += negativeExponent ? "e-" : "e";
      while (isDecimalDigit(cursor.peek())) {
        exponent = std::min(exponent * 10 + (cursor.peek() - '0'), kExponentSaturation);
        cleaned += cursor.peek();
        cursor.advance();
      }
      if (negativeExponent) {
        exponent = -exponent;
      }
    }
  }

  double magnitude = 0.0;
  const auto [ptr, ec] =
      std::from_chars(cleaned.data(), cleaned.data() + cleaned.size(), magnitude);
  if (ec == std::errc::result_out_of_range) {
    // Only a significant digit far above or far below 1 can leave the range.
    magnitude = leadingOrder + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -magnitude : magnitude;
}

bool beginsWithNumber(std::string_view text) {
  Cursor cursor(text);
  if (cursor.peek() == '&') {
    cursor.advance();
    const char radix = cursor.peek();
    cursor.advance();
    if (radix == 'H' || radix == 'h') {
      return isHexDigit(cursor.peek());
    }
    return (radix == 'O' || radix == 'o') && isOctalDigit(cursor.peek());
  }
  if (cursor.peek() == '+' || cursor.peek() == '-') {
    cursor.advance();
  }
  if (cursor.peek() == '.') {
    cursor.advance();
  }
  return isDecimalDigit(cursor.peek());
}

void KeyingParameters::SymbLen_Change(std::string_view symbLenText, std::string_view intgapText) {
  SymbolLength = readNumber(symbLenText);
  InterSymbol = readNumber(intgapText) / kPercent * SymbolLength;
}

void KeyingParameters::Intgap_Change(std::string_view intgapText) {
  InterSymbol = readNumber(intgapText) / kPercent * SymbolLength;
}

void KeyingParameters::dB_Change(std::string_view dBText) {
  double a = std::pow(10.0, readNumber(dBText) / kDbPerDecadeOfAmplitude);
  // A power beyond the double range is an attenuation beyond any sample: silence. Handled before
  // the inversion so the amplitude cannot come out as anything but 0..kFullScale.
  if (!std::isfinite(a)) {
    a = 0.0;
  } else if (a > 1.0) {
    a = 1.0 / a;
  }
  Ampl = a * kFullScale;
}

void KeyingParameters::Box_Change(Box box, const std::function<std::string(Box)>& textOf) {
  switch (box) {
    case Box::IdleFreq:
    case Box::DotFreq:
    case Box::DashFreq:
      break;
    case Box::SymbLen:
      SymbLen_Change(textOf(Box::SymbLen), textOf(Box::Intgap));
      break;
    case Box::Intgap:
      Intgap_Change(textOf(Box::Intgap));
      break;
    case Box::dB:
      dB_Change(textOf(Box::dB));
      break;
  }
}

void KeyingParameters::load(const std::function<void(Box, const std::string&)>& setBoxText) {
  Fsample = kSampleRateHz;
  for (const auto& [box, text] : kDefaultTexts) {
    setBoxText(box, std::string(text));
  }
}

std::optional<std::string> normalisedSymbLenText(double SymbolLength) {
  if (!(SymbolLength > kMillisecondThresholdS) || !std::isfinite(SymbolLength)) {
    return std::nullopt;
  }
  const double seconds = SymbolLength / kMillisecondsPerSecond;
  // Shortest text that reads back to the same double; large enough for any double.
  constexpr std::size_t kMaxDoubleChars = 32;
  char digits[kMaxDoubleChars];
  const auto [end, ec] = std::to_chars(digits, digits + kMaxDoubleChars, seconds);
  std::string text(digits, end);
  if (text.starts_with("0.")) {
    text.erase(0, 1);
  }
  return " " + text;
}

}  // namespace bitoner
