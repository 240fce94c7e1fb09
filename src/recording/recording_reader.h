// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "recording/recorded_keying.h"

namespace bitoner {

// A recording that cannot be read: what() names it and says why.
class InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a recording holds, as its header or metadata says.
struct RecordingFormat {
  double sampleRateHz = 0.0;
  bool real = false;      // one channel: a receiver's audio rather than I/Q
  std::string datatype;   // as SigMF names it: ci16_le, cf32_le, ri16_le, rf32_le
  std::string sigmfMeta;  // the metadata file of a SigMF recording, else empty
  std::string datetime;   // its first capture's core:datetime (UTC) as written, else empty
  RecordedKeying keying;  // what a Bitoner SigMF recording says of its keying
};

// Samples of a recording in pieces, as complex values at full scale 1 (a real recording's
// imaginary parts are zero).
class RecordingReader {
 public:
  virtual ~RecordingReader() = default;
  const RecordingFormat& format() const { return format_; }
  // Up to `most` samples into `out` (replacing what it held); none at the end. Throws InputError,
  // also for a sample that is not a number (NaN or infinite).
  virtual void read(std::vector<std::complex<float>>& out, std::size_t most) = 0;
  // What was read but looked wrong, each naming the file: data cut short of its declared size, a
  // partial sample at the end. Complete once read() has returned nothing.
  const std::vector<std::string>& warnings() const { return warnings_; }

 protected:
  RecordingFormat format_;
  std::vector<std::string> warnings_;
};

// The sample rates a recording may declare: anything else is the file's fault, not a rate.
inline constexpr double kLowestRecordingRateHz = 1.0;
inline constexpr double kHighestRecordingRateHz = 100e6;

// Opens a WAV file (16-bit PCM or 32-bit float, mono or stereo I/Q), a SigMF recording (named by
// its .sigmf-data or .sigmf-meta file; ci16_le, cf32_le, ri16_le or rf32_le) or, for "-", raw
// s16le stereo frames on standard input at `rawRateHz`. Throws InputError.
std::unique_ptr<RecordingReader> openRecording(const std::string& name, double rawRateHz);

// The readers behind openRecording, on what is already open (for the fuzz targets). `name` is
// only for messages; all throw InputError.
// A WAV file's header, then its samples: takes `fd` over and closes it.
std::unique_ptr<RecordingReader> readWav(int fd, const std::string& name);
// SigMF metadata's text: the format it declares, `metaName` kept as its sigmfMeta.
RecordingFormat readSigmfMeta(std::string_view text, const std::string& metaName);
// Raw interleaved samples of `format.datatype` to the end of the stream; `fd` stays open.
std::unique_ptr<RecordingReader> readRaw(int fd, const std::string& name,
                                         const RecordingFormat& format);

}  // namespace bitoner
