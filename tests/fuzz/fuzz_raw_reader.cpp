// SPDX-License-Identifier: GPL-3.0-or-later
// The raw sample reader (standard input, a SigMF recording's data) on any bytes of each datatype:
// every whole frame is read, a partial one at the end is warned of, a sample that is not a number
// is refused.
#include <unistd.h>

#include <array>

#include "recording_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  constexpr std::array<const char*, 4> kTypes{"ci16_le", "cf32_le", "ri16_le", "rf32_le"};
  const std::string type = kTypes[data[0] % kTypes.size()];
  const int fd = bitoner::fuzz::memoryFile(data + 1, size - 1);
  const auto reader = bitoner::readRaw(
      fd, "fuzz", bitoner::RecordingFormat{11025.0, type[0] == 'r', type, "", "", {}});
  const std::int64_t frames = bitoner::fuzz::readToEnd(*reader);
  ::close(fd);
  if (frames < 0) {
    FUZZ_CHECK(type.find("f32") != std::string::npos);  // 16-bit samples are always numbers
    return 0;
  }
  const auto frameBytes =
      static_cast<std::size_t>((type[0] == 'c' ? 2 : 1) * (type[1] == 'i' ? 2 : 4));
  FUZZ_CHECK(static_cast<std::size_t>(frames) == (size - 1) / frameBytes);
  FUZZ_CHECK(reader->warnings().size() == ((size - 1) % frameBytes != 0 ? 1U : 0U));
  return 0;
}
