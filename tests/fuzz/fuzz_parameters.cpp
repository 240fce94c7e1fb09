// SPDX-License-Identifier: GPL-3.0-or-later
// The number rule and what the change handlers derive from it, for any box texts.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/parameters.h"
#include "fuzz_input.h"

using bitoner::readNumber;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bitoner::fuzz::FuzzInput input(data, size);
  const std::string symbLen = input.text();
  const std::string intgap = input.text();
  const std::string dB = input.text();

  const double symbolLength = readNumber(symbLen);
  const double percent = readNumber(intgap);
  FUZZ_CHECK(!std::isnan(symbolLength) && !std::isnan(percent) && !std::isnan(readNumber(dB)));

  bitoner::KeyingParameters params;
  params.SymbLen_Change(symbLen, intgap);
  params.dB_Change(dB);
  FUZZ_CHECK(params.SymbolLength == symbolLength);
  FUZZ_CHECK(params.Ampl >= 0.0 && params.Ampl <= bitoner::kFullScale);
  // The gap is a share of the symbol: undefined only for an infinite share of nothing or the
  // reverse (a share so small that it comes to nothing counts as nothing), which the tone
  // planning refuses as a duration that is not a number.
  if (std::isnan(params.InterSymbol)) {
    const double share = percent / 100.0;
    FUZZ_CHECK((std::isinf(share) && symbolLength == 0.0) ||
               (std::isinf(symbolLength) && share == 0.0));
  }

  // A gap typed on its own derives the same share.
  const double gap = params.InterSymbol;
  params.Intgap_Change(intgap);
  FUZZ_CHECK(params.InterSymbol == gap || (std::isnan(gap) && std::isnan(params.InterSymbol)));

  // The milliseconds rule: the text written back reads back to exactly the new length, and
  // writing it into the box derives that length.
  if (const std::optional<std::string> text = bitoner::normalisedSymbLenText(symbolLength)) {
    const double seconds = symbolLength / 1000.0;
    FUZZ_CHECK(text->starts_with(' ') && !text->starts_with(" 0."));
    FUZZ_CHECK(readNumber(*text) == seconds);
    params.SymbLen_Change(*text, intgap);
    FUZZ_CHECK(params.SymbolLength == seconds);
  } else {
    FUZZ_CHECK(!(symbolLength > 100.0) || std::isinf(symbolLength));
  }
  return 0;
}
