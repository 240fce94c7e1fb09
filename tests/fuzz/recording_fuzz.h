// SPDX-License-Identifier: GPL-3.0-or-later
// What the reader targets share: fuzz bytes as an open file, and a reader read to its end.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

#include "recording/recording_reader.h"
#include "fuzz_input.h"

namespace bitoner::fuzz {

// The bytes as a file in memory, read from its start. The descriptor is the caller's to close.
inline int memoryFile(const std::uint8_t* data, std::size_t size) {
  const int fd = ::memfd_create("fuzz-recording", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  std::size_t written = 0;
  while (written < size) {
    const ssize_t wrote = ::write(fd, data + written, size - written);
    FUZZ_CHECK(wrote > 0);
    written += static_cast<std::size_t>(wrote);
  }
  FUZZ_CHECK(::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

// Reads to the end in uneven pieces, checking what a reader promises of every sample. The frames
// read, or nothing if the reader refused a sample part of the way.
inline std::int64_t readToEnd(RecordingReader& reader) {
  const RecordingFormat& format = reader.format();
  FUZZ_CHECK(format.sampleRateHz >= kLowestRecordingRateHz &&
             format.sampleRateHz <= kHighestRecordingRateHz);
  const bool int16 = format.datatype.find("i16") != std::string::npos;
  std::vector<std::complex<float>> samples;
  std::int64_t frames = 0;
  try {
    for (std::size_t most = 1;; most = most % 97 + 13) {
      reader.read(samples, most);
      if (samples.empty()) {
        return frames;
      }
      FUZZ_CHECK(samples.size() <= most);
      for (const std::complex<float> sample : samples) {
        FUZZ_CHECK(std::isfinite(sample.real()) && std::isfinite(sample.imag()));
        FUZZ_CHECK(!int16 ||
                   (std::fabs(sample.real()) <= 1.0F && std::fabs(sample.imag()) <= 1.0F));
        FUZZ_CHECK(!format.real || sample.imag() == 0.0F);
      }
      frames += static_cast<std::int64_t>(samples.size());
    }
  } catch (const InputError&) {
    return -1;
  }
}

}  // namespace bitoner::fuzz
