// SPDX-License-Identifier: GPL-3.0-or-later
// The WAV reader on any bytes: a refusal, or a plausible format and finite samples, never more
// of them than the file holds.
#include <unistd.h>

#include "recording_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = bitoner::fuzz::memoryFile(data, size);
  std::unique_ptr<bitoner::RecordingReader> reader;
  try {
    reader = bitoner::readWav(fd, "fuzz.wav");  // closes fd
  } catch (const bitoner::InputError&) {
    return 0;
  }
  const std::int64_t frames = bitoner::fuzz::readToEnd(*reader);
  const std::string& type = reader->format().datatype;
  const std::int64_t frameBytes =
      (type.front() == 'c' ? 2 : 1) * (type.find("i16") != std::string::npos ? 2 : 4);
  FUZZ_CHECK(frames * frameBytes <= static_cast<std::int64_t>(size));
  return 0;
}
