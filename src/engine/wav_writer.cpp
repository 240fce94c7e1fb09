// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/wav_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <string>
#include <system_error>

#include "engine/tones.h"

namespace bitoner {

namespace {

constexpr std::int32_t kRiffSizeBeyondData = 36;  // bytes of "WAVE" tag, fmt chunk and data header
constexpr std::uint32_t kFmtChunkBytes = 16;
constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kHeaderChannels = kChannels;
constexpr std::uint16_t kBitsPerSample = 16;
// Created files get the usual permissions, narrowed by the umask as any new file is.
constexpr mode_t kNewFileMode = 0666;
// Names taken by files other processes left behind are skipped, but not forever.
constexpr int kTemporaryNameAttempts = 100;

class HeaderBytes {
 public:
  explicit HeaderBytes(std::array<std::uint8_t, kWavHeaderBytes>& bytes) : bytes_(bytes) {}

  void tag(const char (&text)[5]) {
    for (std::size_t k = 0; k < 4; ++k) {
      bytes_[at_++] = static_cast<std::uint8_t>(text[k]);
    }
  }
  void u16(std::uint16_t value) {
    bytes_[at_++] = static_cast<std::uint8_t>(value & 0xFFU);
    bytes_[at_++] = static_cast<std::uint8_t>(value >> 8U);
  }
  void u32(std::uint32_t value) {
    for (unsigned shift = 0; shift < 32; shift += 8) {
      bytes_[at_++] = static_cast<std::uint8_t>((value >> shift) & 0xFFU);
    }
  }
  // Two's complement, as the signed size fields are stored.
  void i32(std::int32_t value) { u32(static_cast<std::uint32_t>(value)); }

  std::size_t size() const { return at_; }

 private:
  std::array<std::uint8_t, kWavHeaderBytes>& bytes_;
  std::size_t at_ = 0;
};

[[noreturn]] void throwError(int error, const char* operation) {
  throw std::system_error(error, std::generic_category(), operation);
}
[[noreturn]] void throwErrno(const char* operation) { throwError(errno, operation); }

// Unique within this process; a name another process left behind only costs a retry.
std::filesystem::path temporaryNameFor(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  return target.parent_path() / (WavWriter::temporaryPrefix(target.filename().string()) +
                                 std::to_string(::getpid()) + "-" + std::to_string(counter++));
}

}  // namespace

int createTemporaryBeside(const std::filesystem::path& target, std::filesystem::path& temporary) {
  for (int attempt = 0;; ++attempt) {
    temporary = temporaryNameFor(target);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode);
    if (fd >= 0) {
      return fd;
    }
    if (errno != EEXIST || attempt + 1 >= kTemporaryNameAttempts) {
      const int error = errno;
      temporary.clear();
      throwError(error, "create");
    }
  }
}

std::array<std::uint8_t, kWavHeaderBytes> wavHeader(std::int32_t sampleRateHz,
                                                    std::int32_t frameCount) {
  if (frameCount < kMinFrames || frameCount > kMaxFrames) {
    throw std::invalid_argument("frame count outside the 32-bit size fields");
  }
  if (sampleRateHz < 1 || sampleRateHz > kMaxSampleRateHz) {
    throw std::invalid_argument("sample rate outside the 32-bit byte rate field");
  }
  const auto frameBytes = static_cast<std::int32_t>(kWavFrameBytes);
  const std::int32_t dataBytes = frameBytes * frameCount;

  std::array<std::uint8_t, kWavHeaderBytes> bytes{};
  HeaderBytes header(bytes);
  header.tag("RIFF");
  header.i32(kRiffSizeBeyondData + dataBytes);
  header.tag("WAVE");
  header.tag("fmt ");
  header.u32(kFmtChunkBytes);
  header.u16(kFormatPcm);
  header.u16(kHeaderChannels);
  header.u32(static_cast<std::uint32_t>(sampleRateHz));
  header.u32(static_cast<std::uint32_t>(frameBytes * sampleRateHz));
  header.u16(static_cast<std::uint16_t>(kWavFrameBytes));
  header.u16(kBitsPerSample);
  header.tag("data");
  header.i32(dataBytes);
  if (header.size() != kWavHeaderBytes) {
    throw std::logic_error("tone file header is not 44 bytes");
  }
  return bytes;
}

WavWriter::WavWriter(const std::filesystem::path& target, std::int32_t sampleRateHz,
                     std::int32_t frameCount)
    : target_(target) {
  const auto header = wavHeader(sampleRateHz, frameCount);
  expectedDataBytes_ =
      frameCount > 0 ? static_cast<std::int64_t>(frameCount) * std::int64_t{kWavFrameBytes} : 0;

  fd_ = createTemporaryBeside(target_, temporary_);
  for (const std::uint8_t byte : header) {
    buffer_[used_++] = byte;
  }
}

WavWriter::~WavWriter() { discard(); }

void WavWriter::flush() {
  const std::uint8_t* data = buffer_.data();
  std::size_t left = used_;
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      throwErrno("write");
    }
    if (written == 0) {
      // A regular file that accepts nothing is full, whatever the kernel chose not to say.
      throwError(ENOSPC, "write");
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  writtenBytes_ += static_cast<std::int64_t>(used_);
  used_ = 0;
}

std::string WavWriter::temporaryPrefix(std::string_view targetName) {
  return "." + std::string(targetName) + std::string(kTemporaryMark);
}

void WavWriter::finish() {
  if (writtenBytes_ + static_cast<std::int64_t>(used_) !=
      static_cast<std::int64_t>(kWavHeaderBytes) + expectedDataBytes_) {
    throw std::logic_error("tone file committed with the wrong number of frames");
  }
  flush();
  // Without the fsync a crash soon after the rename could leave the new name with no data.
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) {
      throwErrno("fsync");
    }
  }
  // close() is where some file systems report a write that could not be completed.
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    throwErrno("close");
  }
}

void WavWriter::commit() {
  finish();
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    throwErrno("rename");
  }
  temporary_.clear();
}

void WavWriter::discard() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temporary_.empty()) {
    ::unlink(temporary_.c_str());
    temporary_.clear();
  }
}

}  // namespace bitoner
