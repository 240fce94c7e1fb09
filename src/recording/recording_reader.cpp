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
#include <sstream>
#include <system_error>

#include "recording/recording_names.h"

namespace bitoner {

namespace {

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

std::string systemReason(const std::string& name) {
  return name + ": " + std::error_code(errno, std::generic_category()).message();
}

// Interleaved samples from a byte stream: one or two channels of one sample type.
class StreamReader : public RecordingReader {
 public:
  StreamReader(std::string name, int fd, bool ownsFd, Sample sample, std::int64_t bytesLeft,
               RecordingFormat format)
      : name_(std::move(name)),
        fd_(fd),
        ownsFd_(ownsFd),
        sample_(sample),
        declared_(bytesLeft),
        left_(bytesLeft) {
    format_ = std::move(format);
  }
  ~StreamReader() override {
    if (ownsFd_) {
      ::close(fd_);
    }
  }
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

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
        throw InputError(systemReason(name_));
      }
      if (got == 0) {
        noteCutShort();
        left_ = 0;
        break;
      }
      have += static_cast<std::size_t>(got);
      want -= static_cast<std::size_t>(got);
      consumed_ += got;
      if (left_ >= 0) {
        left_ -= got;
      }
    }
    const std::size_t frames = have / frameBytes;
    out.resize(frames);
    const std::size_t step = sampleBytes(sample_);
    for (std::size_t k = 0; k < frames; ++k) {
      const unsigned char* at = buffer_.data() + k * frameBytes;
      out[k] = {toFloat(at, k), channels == 2 ? toFloat(at + step, k) : 0.0F};
    }
    framesRead_ += static_cast<std::int64_t>(frames);
    // A partial frame waits for the rest; at the end it is dropped.
    pending_.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(frames * frameBytes),
                    buffer_.begin() + static_cast<std::ptrdiff_t>(have));
    if (frames == 0 && !pending_.empty()) {
      warnings_.push_back(name_ + ": the recording ends in the middle of a sample; its last " +
                          std::to_string(pending_.size()) + " bytes are left out");
      pending_.clear();
    }
  }

 private:
  float toFloat(const unsigned char* bytes, std::size_t frame) const {
    if (sample_ == Sample::Int16) {
      return static_cast<float>(static_cast<std::int16_t>(littleEndian16(bytes))) / kInt16FullScale;
    }
    const float value = std::bit_cast<float>(littleEndian32(bytes));
    if (!std::isfinite(value)) {
      throw InputError(name_ + ": frame " +
                       std::to_string(framesRead_ + static_cast<std::int64_t>(frame)) +
                       " holds a sample that is not a number (" +
                       (std::isnan(value) ? "NaN" : "infinite") + ")");
    }
    return value;
  }

  // A stream that ends before the size its header declared is read as far as it goes.
  void noteCutShort() {
    if (left_ > 0) {
      warnings_.push_back(name_ + ": the data chunk declares " + std::to_string(declared_) +
                          " bytes but the file holds only " + std::to_string(consumed_) +
                          "; read as far as it goes");
    }
  }

  std::string name_;
  int fd_;
  bool ownsFd_;
  Sample sample_;
  std::int64_t declared_;  // bytes of samples the header declares, -1 for none
  std::int64_t left_;      // bytes of samples still to read, -1 to the end of the stream
  std::int64_t consumed_ = 0;
  std::int64_t framesRead_ = 0;
  std::vector<unsigned char> buffer_;
  std::vector<unsigned char> pending_;
};

int openForReading(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw InputError(systemReason(name));
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
      throw InputError(systemReason(name));
    }
    if (got == 0) {
      break;
    }
    have += static_cast<std::size_t>(got);
  }
  return have;
}

bool plausibleRate(double hz) {
  return hz >= kLowestRecordingRateHz && hz <= kHighestRecordingRateHz;
}

std::string plausibleRates() {
  return "a sample rate from " + std::to_string(static_cast<int>(kLowestRecordingRateHz)) +
         " Hz to " + std::to_string(static_cast<int>(kHighestRecordingRateHz / 1e6)) + " MHz";
}

// The sample type of a datatype this reader knows, or nothing.
std::optional<Sample> sampleOf(const std::string& datatype) {
  if (datatype == "ci16_le" || datatype == "ri16_le") {
    return Sample::Int16;
  }
  if (datatype == "cf32_le" || datatype == "rf32_le") {
    return Sample::Float32;
  }
  return std::nullopt;
}

std::unique_ptr<RecordingReader> openSigmf(const std::string& name) {
  const std::string base = sigmfBase(name);
  const std::string metaName = base + std::string(kSigmfMetaSuffix);
  const std::string dataName = base + std::string(kSigmfDataSuffix);
  std::ifstream in(metaName, std::ios::binary);
  if (!in) {
    throw InputError(systemReason(metaName));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    throw InputError(systemReason(metaName));
  }
  const RecordingFormat format = readSigmfMeta(text.view(), metaName);
  const int fd = openForReading(dataName);
  return std::make_unique<StreamReader>(dataName, fd, true, *sampleOf(format.datatype), -1, format);
}

}  // namespace

std::unique_ptr<RecordingReader> readWav(int fd, const std::string& name) {
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
      if (!plausibleRate(rate)) {
        throw fail("the format chunk's sample rate, " + std::to_string(rate) +
                   " Hz, is not a plausible rate; a recording has " + plausibleRates());
      }
      const bool int16 = tag == kPcm && bits == 16;
      const bool float32 = tag == kFloat && bits == 32;
      if (!(int16 || float32) || channels < 1 || channels > 2) {
        throw fail(
            "only 16-bit PCM or 32-bit float WAV files of one channel (a receiver's audio) "
            "or two (I and Q) can be decoded; this one has " +
            std::to_string(channels) + " channels of " + std::to_string(bits) +
            "-bit samples in format " + std::to_string(tag));
      }
      sample = int16 ? Sample::Int16 : Sample::Float32;
      format =
          RecordingFormat{static_cast<double>(rate),
                          channels == 1,
                          std::string(channels == 1 ? "r" : "c") + (int16 ? "i16_le" : "f32_le"),
                          "",
                          "",
                          {}};
    } else if (std::memcmp(header.data(), "data", 4) == 0) {
      if (!format) {
        throw fail("the data chunk comes before the format chunk");
      }
      // A size that does not fit (streamed files, or the negative sizes of an empty tone) means
      // up to the end of the file.
      const std::int64_t left = size >= 0x80000000U ? -1 : static_cast<std::int64_t>(size);
      return std::make_unique<StreamReader>(name, fd, true, sample, left, *format);
    } else if (::lseek(fd, static_cast<off_t>(size) + static_cast<off_t>(size & 1U), SEEK_CUR) <
               0) {
      throw fail("a chunk runs past the end of the file");
    }
  }
}

RecordingFormat readSigmfMeta(std::string_view text, const std::string& metaName) {
  auto fail = [&](const std::string& why) { return InputError(metaName + ": " + why); };
  nlohmann::json meta;
  try {
    meta = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& error) {
    throw fail(std::string("not SigMF metadata: not JSON (") + error.what() + ")");
  }
  if (!meta.is_object() || !meta.contains("global") || !meta["global"].is_object()) {
    throw fail("not SigMF metadata: no global object");
  }
  const nlohmann::json& global = meta["global"];
  RecordingFormat format;
  if (!global.contains("core:datatype") || !global["core:datatype"].is_string()) {
    throw fail("core:datatype is missing or not text");
  }
  format.datatype = global["core:datatype"].get<std::string>();
  if (!sampleOf(format.datatype)) {
    throw fail("core:datatype " + format.datatype +
               " cannot be decoded; ci16_le, cf32_le, ri16_le and rf32_le can");
  }
  if (!global.contains("core:sample_rate") || !global["core:sample_rate"].is_number()) {
    throw fail("core:sample_rate is missing or not a number");
  }
  format.sampleRateHz = global["core:sample_rate"].get<double>();
  if (!plausibleRate(format.sampleRateHz)) {
    throw fail("core:sample_rate " + global["core:sample_rate"].dump() +
               " is not a plausible rate; a recording has " + plausibleRates());
  }
  if (global.contains("core:num_channels") && global["core:num_channels"] != 1) {
    throw fail("core:num_channels is " + global["core:num_channels"].dump() +
               "; only recordings of one channel can be decoded");
  }
  format.real = format.datatype.front() == 'r';
  format.sigmfMeta = metaName;
  // When the recording began matters to what reads it, not to its samples: a capture without a
  // usable datetime is still read.
  if (meta.contains("captures") && meta["captures"].is_array() && !meta["captures"].empty() &&
      meta["captures"][0].is_object() && meta["captures"][0].contains("core:datetime") &&
      meta["captures"][0]["core:datetime"].is_string()) {
    format.datetime = meta["captures"][0]["core:datetime"].get<std::string>();
  }
  format.keying = readRecordedKeying(global, format.sampleRateHz, metaName);
  return format;
}

std::unique_ptr<RecordingReader> readRaw(int fd, const std::string& name,
                                         const RecordingFormat& format) {
  const std::optional<Sample> sample = sampleOf(format.datatype);
  if (!sample) {
    throw InputError(name + ": raw samples of type " + format.datatype + " cannot be read");
  }
  return std::make_unique<StreamReader>(name, fd, false, *sample, -1, format);
}

std::unique_ptr<RecordingReader> openRecording(const std::string& name, double rawRateHz) {
  if (name == "-") {
    return readRaw(STDIN_FILENO, "standard input",
                   RecordingFormat{rawRateHz, false, "ci16_le", "", "", {}});
  }
  if (isSigmfName(name)) {
    return openSigmf(name);
  }
  return readWav(openForReading(name), name);
}

}  // namespace bitoner
