#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/temp_dir.h"
#include "tones/tones.h"
#include "tones/wav_writer.h"
#include "ui/parameters.h"

namespace bitoner {
namespace {

namespace fs = std::filesystem;

using testing::TempDir;

const std::vector<std::string> kAllToneFiles = {"Dash.wav", "Dot.wav", "Idle.wav", "InterSymb.wav"};

ToneInputs defaultInputs() {
  return {"600",
          "1000",
          "1200",
          kSampleRateHz,
          0.5,
          10.0 / 100.0 * 0.5,
          kFullScale * std::pow(10.0, -10.0 / 20.0)};
}

std::vector<std::uint8_t> fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::int32_t i32At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  const std::uint32_t value = std::uint32_t{bytes.at(at)} | std::uint32_t{bytes.at(at + 1)} << 8U |
                              std::uint32_t{bytes.at(at + 2)} << 16U |
                              std::uint32_t{bytes.at(at + 3)} << 24U;
  return static_cast<std::int32_t>(value);
}

int u16At(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return bytes.at(at) | bytes.at(at + 1) << 8;
}

std::string tagAt(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

struct Frame {
  int i;
  int q;
  bool operator==(const Frame&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Frame& frame) {
  return out << "(" << frame.i << ", " << frame.q << ")";
}

// What libsndfile, an independent reader, finds in a tone file.
struct ReadBack {
  int format = 0;
  int sampleRate = 0;
  int channels = 0;
  std::vector<Frame> frames;
};

ReadBack readBack(const fs::path& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    ADD_FAILURE() << "libsndfile cannot open " << path << ": " << sf_strerror(nullptr);
    return {};
  }
  ReadBack result{info.format, info.samplerate, info.channels, {}};
  std::vector<short> samples(static_cast<std::size_t>(info.frames * info.channels));
  const sf_count_t read = sf_readf_short(file, samples.data(), info.frames);
  EXPECT_EQ(read, info.frames);
  sf_close(file);
  for (std::size_t k = 0; k + 1 < samples.size(); k += 2) {
    result.frames.push_back({samples[k], samples[k + 1]});
  }
  return result;
}

// Rounds to the nearest integer with ties to the even one, without relying on the FPU mode.
int roundHalfEven(double value) {
  const double lower = std::floor(value);
  const double fraction = value - lower;
  auto result = static_cast<long long>(lower);
  if (fraction > 0.5 || (fraction == 0.5 && result % 2 != 0)) {
    ++result;
  }
  return static_cast<int>(result);
}

// The tone as the synthesis defines it: cycles per sample, that exact radian constant, no ramp.
Frame expectedFrame(int index, double frequencyHz, double ampl, bool invert) {
  const double step = frequencyHz / 11025;
  const double theta = (index * step) * 6.283185307178;
  const int q = roundHalfEven(std::sin(theta) * ampl);
  return {roundHalfEven(std::cos(theta) * ampl), invert ? -q : q};
}

TEST(MakeTones, DefaultFilesReadBackAsTheExpectedTones) {
  TempDir dir;
  const ToneInputs inputs = defaultInputs();
  MakeTones(inputs, dir.path());
  EXPECT_EQ(dir.entries(), kAllToneFiles);

  struct Expected {
    const char* name;
    double frequencyHz;
    std::size_t frames;
  };
  for (const Expected& file :
       {Expected{"Idle.wav", 600.0, 5512}, Expected{"InterSymb.wav", 600.0, 551},
        Expected{"Dot.wav", 1000.0, 5512}, Expected{"Dash.wav", 1200.0, 5512}}) {
    SCOPED_TRACE(file.name);
    const ReadBack wav = readBack(dir / file.name);
    EXPECT_EQ(wav.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(wav.sampleRate, 11025);
    EXPECT_EQ(wav.channels, 2);
    ASSERT_EQ(wav.frames.size(), file.frames);
    EXPECT_EQ(wav.frames.front(), (Frame{10341, 0}));
    std::size_t mismatches = 0;
    for (std::size_t k = 0; k < wav.frames.size(); ++k) {
      const Frame expected =
          expectedFrame(static_cast<int>(k), file.frequencyHz, inputs.Ampl, inputs.invert);
      if (wav.frames[k] != expected && mismatches++ < 5) {
        ADD_FAILURE() << "frame " << k << " is " << wav.frames[k] << ", expected " << expected;
      }
    }
    EXPECT_EQ(mismatches, 0U);
  }
}

// Far into a long, high tone the radian constant's last digits decide how samples round.
TEST(MakeTones, LongTonesKeepTheExactRadianConstant) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  inputs.dotFreqText = "5000";
  inputs.SymbolLength = 10.0;
  inputs.Ampl = kFullScale;
  MakeTones(inputs, dir.path());
  const ReadBack wav = readBack(dir / "Dot.wav");
  ASSERT_EQ(wav.frames.size(), 110250U);
  std::size_t mismatches = 0;
  std::size_t differFromTrueTwoPi = 0;
  for (std::size_t k = 0; k < wav.frames.size(); ++k) {
    const auto index = static_cast<int>(k);
    mismatches += wav.frames[k] != expectedFrame(index, 5000.0, kFullScale, false) ? 1U : 0U;
    const double theta = (index * (5000.0 / 11025)) * (2.0 * std::numbers::pi);
    const Frame trueTwoPi{roundHalfEven(std::cos(theta) * kFullScale),
                          roundHalfEven(std::sin(theta) * kFullScale)};
    differFromTrueTwoPi += wav.frames[k] != trueTwoPi ? 1U : 0U;
  }
  EXPECT_EQ(mismatches, 0U);
  // Shows that this case can tell the two constants apart at all.
  EXPECT_GT(differFromTrueTwoPi, 0U);
}

// The RIFF and data sizes of a file that holds its header alone.
void expectHeaderOnly(const fs::path& file, std::int32_t riffSize, std::int32_t dataSize) {
  SCOPED_TRACE(file.filename());
  const auto bytes = fileBytes(file);
  ASSERT_EQ(bytes.size(), 44U);
  EXPECT_EQ(i32At(bytes, 4), riffSize);
  EXPECT_EQ(i32At(bytes, 40), dataSize);
}

TEST(MakeTones, HeaderFieldsSitAtTheirOffsets) {
  TempDir dir;
  MakeTones(defaultInputs(), dir.path());
  for (const auto& [name, frames] :
       {std::pair{"Idle.wav", 5512}, std::pair{"InterSymb.wav", 551}}) {
    SCOPED_TRACE(name);
    const auto bytes = fileBytes(dir / name);
    ASSERT_EQ(bytes.size(), 44U + 4U * static_cast<std::size_t>(frames));
    for (const auto& [at, tag] : {std::pair{0, "RIFF"}, {8, "WAVE"}, {12, "fmt "}, {36, "data"}}) {
      EXPECT_EQ(tagAt(bytes, static_cast<std::size_t>(at)), tag) << "at " << at;
    }
    // Sizes, format, channels, rate, byte rate, block size, bits; then the first frame, I = 10341
    // and Q = 0, little-endian.
    const std::pair<std::size_t, std::int32_t> words[] = {
        {4, 36 + 4 * frames}, {16, 16}, {24, 11025}, {28, 44100}, {40, 4 * frames}, {44, 10341}};
    for (const auto& [at, value] : words) {
      EXPECT_EQ(i32At(bytes, at), value) << "at " << at;
    }
    for (const auto& [at, value] : {std::pair{20, 1}, {22, 2}, {32, 4}, {34, 16}}) {
      EXPECT_EQ(u16At(bytes, static_cast<std::size_t>(at)), value) << "at " << at;
    }
  }
}

TEST(MakeTones, ZeroAndNegativeDurationsWriteTheHeaderAlone) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  inputs.SymbolLength = 0.0;
  inputs.InterSymbol = 0.0;
  MakeTones(inputs, dir.path());
  for (const auto& name : kAllToneFiles) {
    expectHeaderOnly(dir / name, 36, 0);
    EXPECT_TRUE(readBack(dir / name).frames.empty());
  }

  inputs.SymbolLength = -1.0;  // N = -11025
  inputs.InterSymbol = -0.1;   // 11025 * -0.1 = -1102.5, halves to even: -1102
  MakeTones(inputs, dir.path());
  expectHeaderOnly(dir / "Idle.wav", 36 - 44100, -44100);
  expectHeaderOnly(dir / "InterSymb.wav", 36 - 4408, -4408);
  EXPECT_EQ(dir.entries(), kAllToneFiles);
}

TEST(MakeTones, QuarterSampleRateTurnsAQuarterCyclePerFrame) {
  for (const bool invert : {false, true}) {
    SCOPED_TRACE(invert ? "inverted" : "plain");
    TempDir dir;
    ToneInputs inputs = defaultInputs();
    inputs.dotFreqText = "2756.25";
    inputs.invert = invert;
    MakeTones(inputs, dir.path());
    const int a = 10341;
    const std::array<Frame, 4> turn =
        invert ? std::array<Frame, 4>{{{a, 0}, {0, -a}, {-a, 0}, {0, a}}}
               : std::array<Frame, 4>{{{a, 0}, {0, a}, {-a, 0}, {0, -a}}};
    const ReadBack wav = readBack(dir / "Dot.wav");
    ASSERT_EQ(wav.frames.size(), 5512U);
    for (std::size_t k = 0; k < wav.frames.size(); ++k) {
      ASSERT_EQ(wav.frames[k], turn[k % 4]) << "frame " << k;
    }
  }
}

TEST(MakeTones, NegativeFrequencyMirrorsLikeInvertAndEmptyTextIsACarrier) {
  TempDir plain;
  TempDir mirrored;
  ToneInputs inputs = defaultInputs();
  inputs.dotFreqText = "-1000";
  inputs.dashFreqText = "";
  MakeTones(inputs, plain.path());
  inputs.dotFreqText = "1000";
  inputs.invert = true;
  MakeTones(inputs, mirrored.path());
  EXPECT_EQ(fileBytes(plain / "Dot.wav"), fileBytes(mirrored / "Dot.wav"));

  for (const Frame& frame : readBack(plain / "Dash.wav").frames) {
    ASSERT_EQ(frame, (Frame{10341, 0}));
  }
}

TEST(MakeTones, SamplesRoundHalvesToEven) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  for (const auto& [ampl, first] : {std::pair{2.5, 2}, std::pair{3.5, 4}, std::pair{0.5, 0}}) {
    inputs.Ampl = ampl;
    MakeTones(inputs, dir.path());
    EXPECT_EQ(readBack(dir / "Idle.wav").frames.front(), (Frame{first, 0})) << "Ampl " << ampl;
  }
}

TEST(MakeTones, RewritingReplacesEveryFileWhole) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  inputs.SymbolLength = 2.0;
  MakeTones(inputs, dir.path());
  EXPECT_EQ(fs::file_size(dir / "Dot.wav"), 44U + 4U * 22050U);
  MakeTones(defaultInputs(), dir.path());
  EXPECT_EQ(fs::file_size(dir / "Dot.wav"), 22092U);
  EXPECT_EQ(dir.entries(), kAllToneFiles);
}

TEST(MakeTones, NewFilesTakeTheUsualPermissions) {
  TempDir dir;
  const mode_t previous = ::umask(022);
  MakeTones(defaultInputs(), dir.path());
  ::umask(previous);
  struct stat status {};
  ASSERT_EQ(::stat((dir / "Dash.wav").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777U, 0644U);
}

TEST(MakeTones, AbsurdFrequenciesStillGiveSamplesInRange) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  inputs.Ampl = kFullScale;
  inputs.dotFreqText = "1e300";
  inputs.dashFreqText = "-123456789.123";
  MakeTones(inputs, dir.path());
  for (const char* name : {"Dot.wav", "Dash.wav"}) {
    const ReadBack wav = readBack(dir / name);
    ASSERT_EQ(wav.frames.size(), 5512U);
    for (const Frame& frame : wav.frames) {
      ASSERT_LE(std::abs(frame.i), 32700);
      ASSERT_LE(std::abs(frame.q), 32700);
    }
  }
}

// ---- Refusals: nothing may be written when any of the four files cannot be made. ----

// The message names the file and the cause.
void expectNames(const std::string& message, const std::string& fileName,
                 const std::string& cause) {
  EXPECT_NE(message.find(fileName), std::string::npos) << message;
  EXPECT_NE(message.find(cause), std::string::npos) << message;
}

void expectRefused(const ToneInputs& inputs, const std::string& fileName,
                   const std::string& cause) {
  TempDir dir;
  try {
    MakeTones(inputs, dir.path());
    ADD_FAILURE() << "MakeTones accepted inputs that should be refused for " << fileName;
  } catch (const ToneError& error) {
    expectNames(error.what(), fileName, cause);
  }
  EXPECT_TRUE(dir.entries().empty());
}

TEST(MakeTones, RefusesUncomputableTonesBeforeWritingAnyFile) {
  ToneInputs inputs = defaultInputs();
  inputs.dashFreqText = "1e400";
  expectRefused(inputs, "Dash.wav", "1e400");

  inputs = defaultInputs();
  inputs.SymbolLength = 1e300;
  expectRefused(inputs, "Idle.wav", "536870902");

  inputs = defaultInputs();
  inputs.SymbolLength = -1e300;
  inputs.InterSymbol = 0.0;
  expectRefused(inputs, "Idle.wav", "-1e+300");

  // An infinite gap percentage times a zero symbol length.
  inputs = defaultInputs();
  inputs.SymbolLength = 0.0;
  inputs.InterSymbol = std::numeric_limits<double>::infinity() * 0.0;
  expectRefused(inputs, "InterSymb.wav", "not a number");

  // Each frequency and duration is finite, but the phase of the last frame is not.
  inputs = defaultInputs();
  inputs.dotFreqText = "1e305";
  inputs.SymbolLength = 1e4;
  expectRefused(inputs, "Dot.wav", "too large");

  inputs = defaultInputs();
  inputs.Ampl = 40000.0;
  expectRefused(inputs, "Idle.wav", "16-bit");
}

TEST(PlanTones, FrameCountsStopAtTheSizeFieldLimits) {
  ToneInputs inputs = defaultInputs();
  inputs.Fsample = 1;
  inputs.SymbolLength = kMaxFrames;
  inputs.InterSymbol = kMinFrames;
  auto plans = planTones(inputs);
  EXPECT_EQ(plans[0].frames, kMaxFrames);
  EXPECT_EQ(plans[1].frames, kMinFrames);
  EXPECT_EQ(plans[0].fileName, "Idle.wav");
  EXPECT_EQ(plans[2].step, 1000.0);

  inputs.SymbolLength = kMaxFrames + 0.5;  // rounds to the even kMaxFrames
  EXPECT_EQ(planTones(inputs)[3].frames, kMaxFrames);
  inputs.SymbolLength = kMaxFrames + 1.0;
  EXPECT_THROW(planTones(inputs), ToneError);
  inputs.SymbolLength = 1.0;
  inputs.InterSymbol = kMinFrames - 1.0;
  EXPECT_THROW(planTones(inputs), ToneError);
  inputs.InterSymbol = 1.0;
  inputs.Fsample = 0;
  EXPECT_THROW(planTones(inputs), ToneError);

  EXPECT_THROW(wavHeader(kSampleRateHz, kMaxFrames + 1), std::invalid_argument);
  EXPECT_THROW(wavHeader(kSampleRateHz, kMinFrames - 1), std::invalid_argument);
  const auto lowest = wavHeader(kSampleRateHz, kMinFrames);
  const std::vector<std::uint8_t> bytes(lowest.begin(), lowest.end());
  EXPECT_EQ(i32At(bytes, 40), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(i32At(bytes, 4), std::numeric_limits<std::int32_t>::min() + 36);
  const auto highest = wavHeader(kSampleRateHz, kMaxFrames);
  EXPECT_EQ(i32At(std::vector<std::uint8_t>(highest.begin(), highest.end()), 4), 2147483644);
}

// ---- Files that cannot be written: reported by name and reason, nothing half-written. ----

std::string refusalOf(const ToneInputs& inputs, const fs::path& directory) {
  try {
    MakeTones(inputs, directory);
  } catch (const ToneError& error) {
    return error.what();
  }
  return "";
}

TEST(MakeTonesFailure, DirectoryOccupyingAFileName) {
  TempDir dir;
  fs::create_directory(dir / "Dot.wav");
  const std::string message = refusalOf(defaultInputs(), dir.path());
  expectNames(message, "Dot.wav", std::strerror(EISDIR));
  // The files before it are complete, the one after it was never started.
  EXPECT_TRUE(fs::is_directory(dir / "Dot.wav"));
  EXPECT_EQ(fs::file_size(dir / "Idle.wav"), 22092U);
  EXPECT_EQ(fs::file_size(dir / "InterSymb.wav"), 44U + 4U * 551U);
  // No temporary file is left behind either.
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"Dot.wav", "Idle.wav", "InterSymb.wav"}));
}

TEST(MakeTonesFailure, MissingDirectory) {
  TempDir dir;
  const fs::path missing = dir / "no-such-directory";
  const std::string message = refusalOf(defaultInputs(), missing);
  expectNames(message, "Idle.wav", std::strerror(ENOENT));
  EXPECT_FALSE(fs::exists(missing));
}

TEST(MakeTonesFailure, UnwritableDirectory) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root writes into read-only directories";
  }
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const std::string message = refusalOf(defaultInputs(), dir.path());
  fs::permissions(dir.path(), fs::perms::owner_all);
  expectNames(message, "Idle.wav", std::strerror(EACCES));
  EXPECT_TRUE(dir.entries().empty());
}

TEST(MakeTonesFailure, SymbolicLinksAreReplacedNotFollowed) {
  TempDir dir;
  TempDir elsewhere;
  {
    std::ofstream precious(elsewhere / "precious.txt");
    precious << "keep me";
  }
  fs::create_symlink(elsewhere / "precious.txt", dir / "Idle.wav");
  fs::create_symlink("/nonexistent/bitoner/Dot.wav", dir / "Dot.wav");
  MakeTones(defaultInputs(), dir.path());
  for (const char* name : {"Idle.wav", "Dot.wav"}) {
    EXPECT_FALSE(fs::is_symlink(dir / name)) << name;
    EXPECT_EQ(fs::file_size(dir / name), 22092U) << name;
  }
  EXPECT_EQ(fileBytes(elsewhere / "precious.txt"),
            (std::vector<std::uint8_t>{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  EXPECT_EQ(dir.entries(), kAllToneFiles);
}

// A file-size limit makes the kernel refuse a write part-way through a file, as a full disk
// would; it is set for this process only and lifted again before any check.
TEST(MakeTonesFailure, WriteRefusedPartWayKeepsTheOldFile) {
  TempDir dir;
  const std::vector<std::uint8_t> old = {'o', 'l', 'd'};
  {
    std::ofstream file(dir / "Idle.wav", std::ios::binary);
    file << "old";
  }
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit limited = previous;
  limited.rlim_cur = 10000;  // Idle.wav needs 22092 bytes
  auto* const previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::string message = refusalOf(defaultInputs(), dir.path());
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);

  expectNames(message, "Idle.wav", std::strerror(EFBIG));
  EXPECT_EQ(fileBytes(dir / "Idle.wav"), old);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"Idle.wav"});
}

}  // namespace
}  // namespace bitoner
