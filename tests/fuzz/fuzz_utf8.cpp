// SPDX-License-Identifier: GPL-3.0-or-later
// The UTF-8 decoding and encoding front ends use for the message: any bytes decode to valid code
// points, and valid text survives the round trip.
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/keying_steps.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::u32string text = bitoner::fromUtf8(bytes);
  FUZZ_CHECK(text.size() <= bytes.size());
  for (const char32_t c : text) {
    FUZZ_CHECK(c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF));
  }
  const std::string encoded = bitoner::toUtf8(text);
  FUZZ_CHECK(bitoner::fromUtf8(encoded) == text);
  if (text.find(U'\uFFFD') == std::u32string::npos) {
    FUZZ_CHECK(encoded == bytes);
  }
  return 0;
}
