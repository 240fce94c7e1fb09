#include "sound/pulse_player.h"

#include <pulse/error.h>
#include <pulse/simple.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <system_error>
#include <vector>

namespace bitoner {
namespace {

constexpr std::uint32_t kToneRateHz = 11025;
constexpr std::uint8_t kToneChannels = 2;
// Frames read from a file and handed to the server at a time: small enough that a 1.1 M frame
// file never sits in memory, large enough that the per-chunk cost does not matter.
constexpr sf_count_t kChunkFrames = 1024;
constexpr std::uint64_t kMicrosecondsPerMillisecond = 1000;
// A RIFF file walks at most this many chunks before its "data" chunk; more means a damaged file.
constexpr int kMaxChunksBeforeData = 64;
constexpr const char* kClientName = "Bitoner";
constexpr const char* kStreamName = "Keyed signal";

std::string lowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return text;
}

std::int32_t readInt32Le(const std::array<unsigned char, 8>& bytes, std::size_t at) {
  const std::uint32_t value = static_cast<std::uint32_t>(bytes[at]) |
                              (static_cast<std::uint32_t>(bytes[at + 1]) << 8U) |
                              (static_cast<std::uint32_t>(bytes[at + 2]) << 16U) |
                              (static_cast<std::uint32_t>(bytes[at + 3]) << 24U);
  return static_cast<std::int32_t>(value);
}

// True for a RIFF file whose RIFF size, or the size of any chunk up to and including "data", is
// negative as a signed 32-bit value: the tone writer produces such files for negative durations,
// and they hold no sound.
bool hasNegativeSizes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::array<unsigned char, 8> header{};
  const auto readHeader = [&in, &header] {
    return static_cast<bool>(in.read(reinterpret_cast<char*>(header.data()),
                                     static_cast<std::streamsize>(header.size())));
  };
  if (!readHeader() || std::memcmp(header.data(), "RIFF", 4) != 0) {
    return false;
  }
  if (readInt32Le(header, 4) < 0) {
    return true;
  }
  in.seekg(4, std::ios::cur);  // form type
  for (int chunk = 0; chunk < kMaxChunksBeforeData && readHeader(); ++chunk) {
    const std::int32_t size = readInt32Le(header, 4);
    if (size < 0) {
      return true;
    }
    if (std::memcmp(header.data(), "data", 4) == 0) {
      return false;
    }
    in.seekg(size + (size & 1), std::ios::cur);
  }
  return false;
}

struct SndFileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
using SndFile = std::unique_ptr<SNDFILE, SndFileCloser>;

bool sameFormat(const pa_sample_spec& a, const pa_sample_spec& b) {
  return a.format == b.format && a.rate == b.rate && a.channels == b.channels;
}

}  // namespace

std::optional<std::filesystem::path> findCaseInsensitive(const std::filesystem::path& name) {
  std::error_code error;
  if (std::filesystem::exists(name, error)) {
    return name;
  }
  const std::filesystem::path directory =
      name.has_parent_path() ? name.parent_path() : std::filesystem::path(".");
  const std::string wanted = lowerAscii(name.filename().string());
  std::optional<std::filesystem::path> found;
  std::filesystem::directory_iterator entries(directory, error);
  for (const std::filesystem::directory_iterator end; !error && entries != end;
       entries.increment(error)) {
    const std::filesystem::path& candidate = entries->path();
    if (lowerAscii(candidate.filename().string()) == wanted &&
        (!found || candidate.filename() < found->filename())) {
      found = candidate;
    }
  }
  return found;
}

struct PulsePlayer::Stream {
  pa_simple* handle = nullptr;
  pa_sample_spec format{};

  ~Stream() { close(); }

  void close() {
    if (handle != nullptr) {
      pa_simple_free(handle);
      handle = nullptr;
    }
  }

  [[noreturn]] void lost(const char* what, int error) {
    close();
    throw SoundError(std::string(what) + ": " + pa_strerror(error));
  }

  void connect(const pa_sample_spec& wanted) {
    close();
    // With the simple API's latency adjustment, tlength is the whole way from our write to the
    // speaker: the server splits it between its own buffer and the sink. The rest is left to the
    // server; prebuf in particular must stay on, so that after a drain (or, worse, an underrun) the
    // stream waits for data instead of skipping over what arrives late.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(
        pa_usec_to_bytes(kQueuedTargetMs * kMicrosecondsPerMillisecond, &wanted));
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    int error = 0;
    handle = pa_simple_new(nullptr, kClientName, PA_STREAM_PLAYBACK, nullptr, kStreamName, &wanted,
                           nullptr, &attr, &error);
    if (handle == nullptr) {
      throw SoundError(std::string("sound server unreachable: ") + pa_strerror(error));
    }
    format = wanted;
  }

  // Opens the stream at `wanted`; a stream at another format is first played out, so nothing
  // queued is cut off.
  void ensure(const pa_sample_spec& wanted) {
    if (handle != nullptr && sameFormat(format, wanted)) {
      return;
    }
    if (handle != nullptr) {
      drain();
    }
    connect(wanted);
  }

  void drain() {
    int error = 0;
    if (handle != nullptr && pa_simple_drain(handle, &error) < 0) {
      lost("sound server lost", error);
    }
  }

  void write(const void* data, std::size_t bytes) {
    int error = 0;
    if (pa_simple_write(handle, data, bytes, &error) < 0) {
      lost("sound server lost", error);
    }
  }
};

PulsePlayer::PulsePlayer() : stream_(std::make_unique<Stream>()) {}

PulsePlayer::~PulsePlayer() = default;

void PulsePlayer::open() {
  if (stream_->handle != nullptr) {
    int error = 0;
    if (pa_simple_get_latency(stream_->handle, &error) != static_cast<pa_usec_t>(-1)) {
      return;
    }
    stream_->close();  // the server went away since the last run: start afresh
  }
  stream_->connect(pa_sample_spec{PA_SAMPLE_S16NE, kToneRateHz, kToneChannels});
}

bool PulsePlayer::play(const std::string& name) {
  const std::optional<std::filesystem::path> file = findCaseInsensitive(name);
  if (!file || hasNegativeSizes(*file)) {
    return false;
  }
  SF_INFO info{};
  const SndFile sound(sf_open(file->c_str(), SFM_READ, &info));
  if (!sound || info.channels <= 0 || info.samplerate <= 0) {
    return false;
  }
  if (info.channels > static_cast<int>(PA_CHANNELS_MAX)) {
    return false;
  }
  const pa_sample_spec wanted{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(info.samplerate),
                              static_cast<std::uint8_t>(info.channels)};
  if (pa_sample_spec_valid(&wanted) == 0) {
    return false;
  }
  stream_->ensure(wanted);

  const auto channels = static_cast<std::size_t>(info.channels);
  std::vector<short> chunk(static_cast<std::size_t>(kChunkFrames) * channels);
  for (;;) {
    const sf_count_t frames = sf_readf_short(sound.get(), chunk.data(), kChunkFrames);
    if (frames <= 0) {
      break;
    }
    stream_->write(chunk.data(), static_cast<std::size_t>(frames) * channels * sizeof(short));
  }
  return true;
}

void PulsePlayer::drain() { stream_->drain(); }

std::uint64_t PulsePlayer::queuedMicroseconds() {
  if (stream_->handle == nullptr) {
    return 0;
  }
  int error = 0;
  const pa_usec_t latency = pa_simple_get_latency(stream_->handle, &error);
  if (latency == static_cast<pa_usec_t>(-1)) {
    stream_->lost("sound server lost", error);
  }
  return latency;
}

}  // namespace bitoner
