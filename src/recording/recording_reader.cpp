// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/recording_reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

namespace bitoner {

namespace {

constexpr std::string_view kSigmfDataSuffix = ".sigmf-data";
constexpr std::string_view kSigmfMetaSuffix = ".sigmf-meta";
constexpr float kInt16FullScale = 32768.0F;

enum class Sample : std::uint8_t { Int16, Float32 };

std::size_t sampleBytes(Sample sample) { return sample == Sample::Int16 ? 2 : 4; }

std::uint32_t littleEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8U) |
         (static_cast<std::uint32_t>(bytes[2]) << 16U) |
         (static_cast<std::uint32_t>(bytes[3]) << 24U);
}

std::uint16_t littleEndian16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8U));
}

float toFloat(const unsigned char* bytes, Sample sample) {
  if (sample == Sample::Int16) {
    return static_cast<float>(static_cast<std::int16_t>(littleEndian16(bytes))) / kInt16FullScale;
  }
  const float value = std::bit_cast<float>(littleEndian32(bytes));
  return std::isfinite(value) ? value : 0.0F;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Interleaved samples from a byte stream: one or two channels of one sample type.
class StreamReader : public RecordingReader {
 public:
  StreamReader(std::string name, int fd, bool ownsFd, Sample sample, std::int64_t bytesLeft)
      : name_(std::move(name)), fd_(fd), ownsFd_(ownsFd), sample_(sample), left_(bytesLeft) {}
  ~StreamReader() override {
    if (ownsFd_) {
      ::close(fd_);
    }
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  void setFormat(RecordingFormat format) { format_ = std::move(format); }

  void read(std::vector<std::complex<float>>& out, std::size_t most) override {
    out.clear();
    const std::size_t channels = format_.real ? 1 : 2;
    const std::size_t frameBytes = channels * sampleBytes(sample_);
    std::size_t want = most * frameBytes;
    if (left_ >= 0) {
      want = std::min<std::size_t>(want, static_cast<std::size_t>(left_));
    }
    buffer_.resize(pending_.size() + want);
    std::copy(pending_.begin(), pending_.end(), buffer_.begin());
    std::size_t have = pending_.size();
    while (have < frameBytes * std::max<std::size_t>(1, most / 2) && want > 0) {
      const ssize_t got = ::read(fd_, buffer_.data() + have, want);
      if (got < 0 && errno == EINTR) {
        continue;
      }
      if (got < 0) {
        throw InputError(name_ + ": " + std::error_code(errno, std::generic_category()).message());
      }
      if (got == 0) {
        left_ = 0;
        break;
      }
      have += static_cast<std::size_t>(got);
      want -= static_cast<std::size_t>(got);
      if (left_ >= 0) {
        left_ -= got;
      }
    }
    const std::size_t frames = have / frameBytes;
    out.resize(frames);
    const std::size_t step = sampleBytes(sample_);
    for (std::size_t k = 0; k < frames; ++k) {
      const unsigned char* at = buffer_.data() + k * frameBytes;
      out[k] = {toFloat(at, sample_), channels == 2 ? toFloat(at + step, sample_) : 0.0F};
    }
    // A partial frame waits for the rest; at the end it is dropped.
    pending_.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(frames * frameBytes),
                    buffer_.begin() + static_cast<std::ptrdiff_t>(have));
  }

 private:
  std::string name_;
  int fd_;
  bool ownsFd_;
  Sample sample_;
  std::int64_t left_;  // bytes of samples still to read, -1 to the end of the stream
  std::vector<unsigned char> buffer_;
  std::vector<unsigned char> pending_;
};

int openForReading(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw InputError(name + ": " + std::error_code(errno, std::generic_category()).message());
  }
  return fd;
}

// Reads exactly `count` bytes, or fewer at the end of the file.
std::size_t readUpTo(int fd, unsigned char* into, std::size_t count, const std::string& name) {
  std::size_t have = 0;
  while (have < count) {
    const ssize_t got = ::read(fd, into + have, count - have);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      throw InputError(name + ": " + std::error_code(errno, std::generic_category()).message());
    }
    if (got == 0) {
      break;
    }
    have += static_cast<std::size_t>(got);
  }
  return have;
}

std::unique_ptr<RecordingReader> openWav(const std::string& name) {
  const int fd = openForReading(name);
  auto fail = [&](const std::string& why) -> InputError {
    ::close(fd);
    return InputError(name + ": " + why);
  };
  std::array<unsigned char, 12> riff{};
  if (readUpTo(fd, riff.data(), riff.size(), name) < riff.size() ||
      std::memcmp(riff.data(), "RIFF", 4) != 0 || std::memcmp(riff.data() + 8, "WAVE", 4) != 0) {
    throw fail("not a WAV file");
  }
  constexpr std::uint16_t kPcm = 1;
  constexpr std::uint16_t kFloat = 3;
  constexpr std::uint16_t kExtensible = 0xFFFE;
  std::optional<RecordingFormat> format;
  Sample sample = Sample::Int16;
  while (true) {
    std::array<unsigned char, 8> header{};
    if (readUpTo(fd, header.data(), header.size(), name) < header.size()) {
      throw fail(format ? "no data chunk" : "no format chunk");
    }
    const std::uint32_t size = littleEndian32(header.data() + 4);
    if (std::memcmp(header.data(), "fmt ", 4) == 0) {
      constexpr std::uint32_t kLongest = 64;
      if (size < 16 || size > kLongest) {
        throw fail("a format chunk of " + std::to_string(size) + " bytes");
      }
      std::array<unsigned char, kLongest> fmt{};
      if (readUpTo(fd, fmt.data(), size + (size & 1U), name) < size) {
        throw fail("the format chunk is cut short");
      }
      std::uint16_t tag = littleEndian16(fmt.data());
      const std::uint16_t channels = littleEndian16(fmt.data() + 2);
      const std::uint32_t rate = littleEndian32(fmt.data() + 4);
      const std::uint16_t bits = littleEndian16(fmt.data() + 14);
      if (tag == kExtensible && size >= 26) {
        tag = littleEndian16(fmt.data() + 24);
      }
      const bool int16 = tag == kPcm && bits == 16;
      const bool float32 = tag == kFloat && bits == 32;
      if (!(int16 || float32) || channels < 1 || channels > 2 || rate == 0) {
        throw fail(
            "only 16-bit PCM or 32-bit float WAV files of one channel (a receiver's audio) "
            "or two (I and Q) can be decoded; this one has " +
            std::to_string(channels) + " channels of " + std::to_string(bits) +
            "-bit samples in format " + std::to_string(tag) + " at " + std::to_string(rate) +
            " Hz");
      }
      sample = int16 ? Sample::Int16 : Sample::Float32;
      format = RecordingFormat{
          static_cast<double>(rate), channels == 1,
          std::string(channels == 1 ? "r" : "c") + (int16 ? "i16_le" : "f32_le"), ""};
    } else if (std::memcmp(header.data(), "data", 4) == 0) {
      if (!format) {
        throw fail("the data chunk comes before the format chunk");
      }
      // A size that does not fit (streamed files, or the negative sizes of an empty tone) means
      // up to the end of the file.
      const std::int64_t left = size >= 0x80000000U ? -1 : static_cast<std::int64_t>(size);
      auto reader = std::make_unique<StreamReader>(name, fd, true, sample, left);
      reader->setFormat(*format);
      return reader;
    } else if (::lseek(fd, static_cast<off_t>(size) + static_cast<off_t>(size & 1U), SEEK_CUR) <
               0) {
      throw fail("a chunk runs past the end of the file");
    }
  }
}

std::unique_ptr<RecordingReader> openSigmf(const std::string& name) {
  const std::string base =
      name.substr(0, name.size() - (endsWith(name, kSigmfDataSuffix) ? kSigmfDataSuffix.size()
                                                                     : kSigmfMetaSuffix.size()));
  const std::string metaName = base + std::string(kSigmfMetaSuffix);
  const std::string dataName = base + std::string(kSigmfDataSuffix);
  std::ifstream in(metaName, std::ios::binary);
  if (!in) {
    throw InputError(metaName + ": " + std::error_code(errno, std::generic_category()).message());
  }
  RecordingFormat format;
  try {
    const nlohmann::json meta = nlohmann::json::parse(in);
    const nlohmann::json& global = meta.at("global");
    format.datatype = global.at("core:datatype").get<std::string>();
    format.sampleRateHz = global.at("core:sample_rate").get<double>();
    if (global.value("core:num_channels", 1) != 1) {
      throw InputError(metaName + ": only recordings of one channel can be decoded");
    }
  } catch (const nlohmann::json::exception& error) {
    throw InputError(metaName + ": not SigMF metadata with a datatype and a sample rate (" +
                     error.what() + ")");
  }
  if (!(format.sampleRateHz > 0.0) || !std::isfinite(format.sampleRateHz)) {
    throw InputError(metaName + ": the sample rate is not a positive number");
  }
  Sample sample = Sample::Int16;
  if (format.datatype == "ci16_le" || format.datatype == "ri16_le") {
    sample = Sample::Int16;
  } else if (format.datatype == "cf32_le" || format.datatype == "rf32_le") {
    sample = Sample::Float32;
  } else {
    throw InputError(metaName + ": datatype " + format.datatype +
                     " cannot be decoded; ci16_le, cf32_le, ri16_le and rf32_le can");
  }
  format.real = format.datatype.front() == 'r';
  format.sigmfMeta = metaName;
  auto reader =
      std::make_unique<StreamReader>(dataName, openForReading(dataName), true, sample, -1);
  reader->setFormat(format);
  return reader;
}

}  // namespace

std::unique_ptr<RecordingReader> openRecording(const std::string& name, double rawRateHz) {
  if (name == "-") {
    auto reader =
        std::make_unique<StreamReader>("standard input", STDIN_FILENO, false, Sample::Int16, -1);
    reader->setFormat(RecordingFormat{rawRateHz, false, "ci16_le", ""});
    return reader;
  }
  if (endsWith(name, kSigmfDataSuffix) || endsWith(name, kSigmfMetaSuffix)) {
    return openSigmf(name);
  }
  return openWav(name);
}

}  // namespace bitoner
