// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace bitoner {

inline constexpr std::size_t kWavHeaderBytes = 44;
// One frame: the I sample, then the Q sample, each 16-bit.
inline constexpr std::size_t kWavFrameBytes = 4;

// The 44-byte header of a stereo 16-bit PCM file of `frameCount` frames at `sampleRateHz`, every
// field little-endian. The caller keeps frameCount within kMinFrames..kMaxFrames and the rate
// within 1..kMaxSampleRateHz, so no size field ever wraps; std::invalid_argument otherwise.
std::array<std::uint8_t, kWavHeaderBytes> wavHeader(std::int32_t sampleRateHz,
                                                    std::int32_t frameCount);

// What a temporary name carries between the target's name and the writing process's id.
inline constexpr std::string_view kTemporaryMark = ".new-";

// Creates a new, hidden temporary file beside `target` for writing and returns its descriptor;
// its name goes to `temporary`. O_EXCL never opens an existing file or follows a link planted
// under the name; names other processes left behind are skipped. Throws std::system_error.
int createTemporaryBeside(const std::filesystem::path& target, std::filesystem::path& temporary);

// Writes one tone file. The header goes out at construction and the frames follow through a
// fixed buffer, all into a new temporary file beside `target`; commit() renames it over `target`,
// so the name never shows a partly written file and a symbolic link there is replaced, not
// followed. Without a successful commit (or a release) the temporary file is removed. System
// failures throw std::system_error carrying errno.
//
// A set of files that must change together uses finish() on each writer instead, renames the
// temporaries itself, and removes whatever is left under each temporary name by destroying the
// writer.
class WavWriter {
 public:
  static constexpr std::size_t kBufferFrames = 4096;

  WavWriter(const std::filesystem::path& target, std::int32_t sampleRateHz,
            std::int32_t frameCount);
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Appends the next frame. Precondition: fewer than frameCount frames appended so far.
  void append(std::int16_t i, std::int16_t q) {
    if (used_ + kWavFrameBytes > buffer_.size()) {
      flush();
    }
    putSample(i);
    putSample(q);
  }

  // Writes what is buffered, closes the file and renames it into place. Throws
  // std::logic_error if not exactly frameCount frames (none for a negative count) were appended.
  void commit();

  // Writes what is buffered, flushes the file to the disk and closes it, leaving it under its
  // temporary name. Same precondition as commit().
  void finish();

  // The name the frames are written under until they are renamed into place.
  const std::filesystem::path& temporary() const { return temporary_; }
  const std::filesystem::path& target() const { return target_; }

  // The prefix of every temporary name made for `target` (in the same directory), followed by the
  // writing process's id, '-' and a counter.
  static std::string temporaryPrefix(std::string_view targetName);

 private:
  void putSample(std::int16_t sample) {
    const auto bits = static_cast<std::uint16_t>(sample);
    buffer_[used_++] = static_cast<std::uint8_t>(bits & 0xFFU);
    buffer_[used_++] = static_cast<std::uint8_t>(bits >> 8U);
  }
  void flush();
  void discard() noexcept;

  std::filesystem::path target_;
  std::filesystem::path temporary_;
  int fd_ = -1;
  std::int64_t expectedDataBytes_ = 0;
  std::int64_t writtenBytes_ = 0;
  std::size_t used_ = 0;
  std::array<std::uint8_t, kWavHeaderBytes + kBufferFrames * kWavFrameBytes> buffer_{};
};

}  // namespace bitoner
