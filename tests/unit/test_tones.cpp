// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
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

#include "engine/parameters.h"
#include "engine/tones.h"
#include "engine/wav_writer.h"
#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace bitoner {
namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<std::uint8_t>;
using testing::TempDir;

const std::vector<std::string> kAllToneFiles = {"Dash.wav", "Dot.wav", "Idle.wav", "InterSymb.wav"};
constexpr std::uintmax_t kDefaultFileBytes = 44 + 4 * 5512;  // half a second at 11025 Hz

ToneInputs defaultInputs() {
  return {600.0,
          1000.0,
          1200.0,
          kSampleRateHz,
          0.5,
          10.0 / 100.0 * 0.5,
          kFullScale * std::pow(10.0, -10.0 / 20.0)};
}

Bytes fileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The little-endian field of `width` bytes at `at`; a 4-byte one is signed.
std::int32_t fieldAt(const Bytes& bytes, std::size_t at, std::size_t width = 4) {
  std::uint32_t value = 0;
  for (std::size_t k = width; k-- > 0;) {
    value = value << 8U | bytes.at(at + k);
  }
  return static_cast<std::int32_t>(value);
}

// One I, Q sample pair.
using Frame = std::pair<int, int>;

// The frames of a tone file as libsndfile reads them.
std::vector<Frame> framesIn(const fs::path& path, SF_INFO* info = nullptr) {
  const std::vector<std::int16_t> samples = testing::readWavSamples(path, info);
  std::vector<Frame> frames;
  for (std::size_t k = 0; k + 1 < samples.size(); k += 2) {
    frames.push_back({samples[k], samples[k + 1]});
  }
  return frames;
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
Frame expectedFrame(int index, double frequencyHz, double ampl,
                    double radiansPerCycle = 6.283185307178) {
  const double theta = (index * (frequencyHz / 11025)) * radiansPerCycle;
  return {roundHalfEven(std::cos(theta) * ampl), roundHalfEven(std::sin(theta) * ampl)};
}

// Frames of `frames` that differ from the tone, the first few reported.
std::size_t mismatches(const std::vector<Frame>& frames, double frequencyHz, double ampl) {
  std::size_t count = 0;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    const Frame expected = expectedFrame(static_cast<int>(k), frequencyHz, ampl);
    if (frames[k] != expected && count++ < 5) {
      ADD_FAILURE() << "frame " << k << " is " << ::testing::PrintToString(frames[k])
                    << ", expected " << ::testing::PrintToString(expected);
    }
  }
  return count;
}

TEST(MakeTones, DefaultFilesHoldTheExpectedTonesAndHeaders) {
  TempDir dir;
  const ToneInputs inputs = defaultInputs();
  MakeTones(inputs, dir.path());
  EXPECT_EQ(dir.entries(), kAllToneFiles);

  for (const auto& [name, frequencyHz, frames] :
       {std::tuple{"Idle.wav", 600.0, 5512}, std::tuple{"InterSymb.wav", 600.0, 551},
        std::tuple{"Dot.wav", 1000.0, 5512}, std::tuple{"Dash.wav", 1200.0, 5512}}) {
    SCOPED_TRACE(name);
    SF_INFO info{};
    const std::vector<Frame> wav = framesIn(dir / name, &info);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(info.samplerate, 11025);
    EXPECT_EQ(info.channels, 2);
    ASSERT_EQ(wav.size(), static_cast<std::size_t>(frames));
    EXPECT_EQ(mismatches(wav, frequencyHz, inputs.Ampl), 0U);

    const Bytes bytes = fileBytes(dir / name);
    ASSERT_EQ(bytes.size(), 44U + 4U * static_cast<std::size_t>(frames));
    for (const auto& [at, tag] : {std::pair{0, "RIFF"}, {8, "WAVE"}, {12, "fmt "}, {36, "data"}}) {
      EXPECT_EQ(std::string(bytes.begin() + at, bytes.begin() + at + 4), tag) << "at " << at;
    }
    // Sizes, format, channels, rate, byte rate, block size, bits; then the first frame, I = 10341
    // and Q = 0.
    const std::tuple<std::size_t, std::size_t, std::int32_t> fields[] = {
        {4, 4, 36 + 4 * frames}, {16, 4, 16},    {20, 2, 1}, {22, 2, 2},
        {24, 4, 11025},          {28, 4, 44100}, {32, 2, 4}, {34, 2, 16},
        {40, 4, 4 * frames},     {44, 2, 10341}, {46, 2, 0}};
    for (const auto& [at, width, value] : fields) {
      EXPECT_EQ(fieldAt(bytes, at, width), value) << "at " << at;
    }
  }
}

// Far into a long, high tone the radian constant's last digits decide how samples round.
TEST(MakeTones, LongTonesKeepTheExactRadianConstant) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  inputs.dotHz = 5000.0;
  inputs.SymbolLength = 10.0;
  inputs.Ampl = kFullScale;
  MakeTones(inputs, dir.path());
  const std::vector<Frame> wav = framesIn(dir / "Dot.wav");
  ASSERT_EQ(wav.size(), 110250U);
  EXPECT_EQ(mismatches(wav, 5000.0, kFullScale), 0U);
  // Shows that this case can tell the two constants apart at all.
  std::size_t differFromTrueTwoPi = 0;
  for (std::size_t k = 0; k < wav.size(); ++k) {
    const Frame trueTwoPi =
        expectedFrame(static_cast<int>(k), 5000.0, kFullScale, 2.0 * std::numbers::pi);
    differFromTrueTwoPi += wav[k] != trueTwoPi ? 1U : 0U;
  }
  EXPECT_GT(differFromTrueTwoPi, 0U);
}

// The RIFF and data sizes of a file that holds its header alone.
void expectHeaderOnly(const fs::path& file, std::int32_t riffSize, std::int32_t dataSize) {
  SCOPED_TRACE(file.filename());
  const Bytes bytes = fileBytes(file);
  ASSERT_EQ(bytes.size(), 44U);
  EXPECT_EQ(fieldAt(bytes, 4), riffSize);
  EXPECT_EQ(fieldAt(bytes, 40), dataSize);
}

TEST(MakeTones, ZeroAndNegativeDurationsWriteTheHeaderAlone) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  inputs.SymbolLength = 0.0;
  inputs.InterSymbol = 0.0;
  MakeTones(inputs, dir.path());
  for (const auto& name : kAllToneFiles) {
    expectHeaderOnly(dir / name, 36, 0);
    EXPECT_TRUE(framesIn(dir / name).empty());
  }

  inputs.SymbolLength = -1.0;  // N = -11025
  inputs.InterSymbol = -0.1;   // 11025 * -0.1 = -1102.5, halves to even: -1102
  MakeTones(inputs, dir.path());
  expectHeaderOnly(dir / "Idle.wav", 36 - 44100, -44100);
  expectHeaderOnly(dir / "InterSymb.wav", 36 - 4408, -4408);
  EXPECT_EQ(dir.entries(), kAllToneFiles);
}

TEST(MakeTones, InvertTurnsTheOtherWayLikeANegativeFrequency) {
  const int a = 10341;
  const Frame quarterTurns[] = {{a, 0}, {0, a}, {-a, 0}, {0, -a}};
  for (const bool invert : {false, true}) {
    SCOPED_TRACE(invert ? "inverted" : "plain");
    TempDir dir;
    ToneInputs inputs = defaultInputs();
    inputs.dotHz = 2756.25;  // a quarter of the sample rate
    inputs.invert = invert;
    MakeTones(inputs, dir.path());
    const std::vector<Frame> wav = framesIn(dir / "Dot.wav");
    ASSERT_EQ(wav.size(), 5512U);
    for (std::size_t k = 0; k < wav.size(); ++k) {
      const Frame turn = quarterTurns[k % 4];
      ASSERT_EQ(wav[k], (Frame{turn.first, invert ? -turn.second : turn.second})) << "frame " << k;
    }
  }

  TempDir plain;
  TempDir mirrored;
  ToneInputs inputs = defaultInputs();
  inputs.dotHz = -1000.0;
  inputs.dashHz = 0.0;  // a plain carrier
  MakeTones(inputs, plain.path());
  inputs.dotHz = 1000.0;
  inputs.invert = true;
  MakeTones(inputs, mirrored.path());
  EXPECT_EQ(fileBytes(plain / "Dot.wav"), fileBytes(mirrored / "Dot.wav"));
  for (const Frame& frame : framesIn(plain / "Dash.wav")) {
    ASSERT_EQ(frame, (Frame{a, 0}));
  }
}

TEST(MakeTones, SamplesRoundHalvesToEvenAndStayInRange) {
  TempDir dir;
  ToneInputs inputs = defaultInputs();
  for (const auto& [ampl, first] : {std::pair{2.5, 2}, std::pair{3.5, 4}, std::pair{0.5, 0}}) {
    inputs.Ampl = ampl;
    MakeTones(inputs, dir.path());
    EXPECT_EQ(framesIn(dir / "Idle.wav").front(), (Frame{first, 0})) << "Ampl " << ampl;
  }

  inputs.Ampl = kFullScale;
  inputs.dotHz = 1e300;
  inputs.dashHz = -123456789.123;
  MakeTones(inputs, dir.path());
  for (const char* name : {"Dot.wav", "Dash.wav"}) {
    const std::vector<Frame> wav = framesIn(dir / name);
    ASSERT_EQ(wav.size(), 5512U);
    for (const Frame& frame : wav) {
      ASSERT_LE(std::abs(frame.first), 32700);
      ASSERT_LE(std::abs(frame.second), 32700);
    }
  }
}

TEST(MakeTones, RewritesReplaceFilesWholeWithoutFollowingLinks) {
  TempDir dir;
  TempDir elsewhere;
  ToneInputs inputs = defaultInputs();
  inputs.SymbolLength = 2.0;
  MakeTones(inputs, dir.path());
  std::ofstream(elsewhere / "precious.txt") << "keep me";
  fs::remove(dir / "Idle.wav");
  fs::create_symlink(elsewhere / "precious.txt", dir / "Idle.wav");
  fs::remove(dir / "Dash.wav");
  fs::create_symlink("/nonexistent/bitoner/Dash.wav", dir / "Dash.wav");

  const mode_t previous = ::umask(022);
  MakeTones(defaultInputs(), dir.path());
  ::umask(previous);
  for (const char* name : {"Idle.wav", "Dot.wav", "Dash.wav"}) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(fs::is_symlink(dir / name));
    EXPECT_EQ(fs::file_size(dir / name), kDefaultFileBytes);
    struct stat status {};
    ASSERT_EQ(::stat((dir / name).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777U, 0644U) << "the usual permissions";
  }
  EXPECT_EQ(fileBytes(elsewhere / "precious.txt"), (Bytes{'k', 'e', 'e', 'p', ' ', 'm', 'e'}));
  EXPECT_EQ(dir.entries(), kAllToneFiles);
}

TEST(MakeTones, ReportsProgressOverAllFourFiles) {
  TempDir dir;
  const ToneInputs inputs = defaultInputs();
  std::vector<std::int64_t> done;
  std::int64_t total = 0;
  MakeTones(inputs, dir.path(), [&](std::int64_t framesDone, std::int64_t framesTotal) {
    done.push_back(framesDone);
    total = framesTotal;
    return true;
  });
  EXPECT_EQ(total, 3 * 5512 + 551);  // three half-second tones and the gap
  ASSERT_FALSE(done.empty());
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_EQ(done.back(), total);
}

// What MakeTones refused with, or "" if it did not.
std::string refusalOf(const ToneInputs& inputs, const fs::path& directory) {
  try {
    MakeTones(inputs, directory);
  } catch (const ToneError& error) {
    return error.what();
  }
  return "";
}

// The message names the file and the cause.
void expectNames(const std::string& message, const std::string& fileName,
                 const std::string& cause) {
  EXPECT_NE(message.find(fileName), std::string::npos) << message;
  EXPECT_NE(message.find(cause), std::string::npos) << message;
}

TEST(MakeTones, RefusesUncomputableTonesBeforeWritingAnyFile) {
  // The default inputs but for one or two of them.
  struct Case {
    const char* dotFreq;
    const char* dashFreq;
    double symbolLength;
    double interSymbol;
    double ampl;
    const char* fileName;
    const char* cause;
  };
  const double ampl = defaultInputs().Ampl;
  const double notANumber = std::numeric_limits<double>::infinity() * 0.0;
  const Case cases[] = {
      {"1000", "1e400", 0.5, 0.05, ampl, "Dash.wav", "1e400"},
      {"1000", "1200", 1e300, 0.05, ampl, "Idle.wav", "536870902"},
      {"1000", "1200", -1e300, 0.0, ampl, "Idle.wav", "-1e+300"},
      // An infinite gap percentage times a zero symbol length.
      {"1000", "1200", 0.0, notANumber, ampl, "InterSymb.wav", "not a number"},
      // Each frequency and duration is finite, but the phase of the last frame is not.
      {"1e305", "1200", 1e4, 0.05, ampl, "Dot.wav", "too large"},
      {"1000", "1200", 0.5, 0.05, 40000.0, "Idle.wav", "16-bit"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    TempDir dir;
    ToneInputs inputs{600.0,         readNumber(c.dotFreq), readNumber(c.dashFreq),
                      kSampleRateHz, c.symbolLength,        c.interSymbol,
                      c.ampl};
    inputs.typed = {.idle = "600", .dot = c.dotFreq, .dash = c.dashFreq};
    expectNames(refusalOf(inputs, dir.path()), c.fileName, c.cause);
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(PlanTones, FrameCountsStopAtTheSizeFieldLimits) {
  ToneInputs inputs = defaultInputs();
  inputs.Fsample = 1;
  inputs.SymbolLength = kMaxFrames + 0.5;  // rounds to the even kMaxFrames
  inputs.InterSymbol = kMinFrames;
  EXPECT_EQ(planTones(inputs)[0].frames, kMaxFrames);
  EXPECT_EQ(planTones(inputs)[1].frames, kMinFrames);
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
  const auto highest = wavHeader(kSampleRateHz, kMaxFrames);
  EXPECT_EQ(fieldAt(Bytes(lowest.begin(), lowest.end()), 40),
            std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(fieldAt(Bytes(lowest.begin(), lowest.end()), 4),
            std::numeric_limits<std::int32_t>::min() + 36);
  EXPECT_EQ(fieldAt(Bytes(highest.begin(), highest.end()), 4), 2147483644);
}

// ---- Files that cannot be written: reported by name and reason, nothing half-written. ----

// An old set of tone files, each holding "old".
void writeOldSet(const TempDir& dir, const std::vector<std::string>& names = kAllToneFiles) {
  for (const std::string& name : names) {
    std::ofstream(dir / name, std::ios::binary) << "old";
  }
}

void expectOldSet(const TempDir& dir, const std::vector<std::string>& names = kAllToneFiles) {
  for (const std::string& name : names) {
    EXPECT_EQ(fileBytes(dir / name), (Bytes{'o', 'l', 'd'})) << name;
  }
}

TEST(MakeTonesFailure, DirectoryOccupyingAFileNameLeavesTheOldSetWhole) {
  TempDir dir;
  writeOldSet(dir, {"Dash.wav", "Idle.wav", "InterSymb.wav"});
  fs::create_directory(dir / "Dot.wav");
  expectNames(refusalOf(defaultInputs(), dir.path()), "Dot.wav", std::strerror(EISDIR));
  EXPECT_TRUE(fs::is_directory(dir / "Dot.wav"));
  expectOldSet(dir, {"Dash.wav", "Idle.wav", "InterSymb.wav"});
  EXPECT_EQ(dir.entries(), kAllToneFiles) << "no temporary file is left behind";
}

TEST(MakeTonesFailure, MissingDirectory) {
  TempDir dir;
  const fs::path missing = dir / "no-such-directory";
  expectNames(refusalOf(defaultInputs(), missing), "Idle.wav", std::strerror(ENOENT));
  EXPECT_FALSE(fs::exists(missing));
}

// Root may write anywhere, so when the tests run as root the attempt is made by a child that has
// given up its privileges; the refusal's text comes back through a pipe.
std::string refusalWithoutPrivileges(const ToneInputs& inputs, const fs::path& directory) {
  if (::geteuid() != 0) {
    return refusalOf(inputs, directory);
  }
  constexpr uid_t kNobody = 65534;
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0) {
    return "pipe failed";
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeEnds[0]);
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
      ::_exit(1);
    }
    const std::string message = refusalOf(inputs, directory);
    const bool written = ::write(pipeEnds[1], message.data(), message.size()) ==
                         static_cast<ssize_t>(message.size());
    ::_exit(written ? 0 : 1);
  }
  ::close(pipeEnds[1]);
  std::string message;
  char buffer[256];
  for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;) {
    message.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(pipeEnds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the unprivileged child failed";
  return message;
}

TEST(MakeTonesFailure, UnwritableDirectory) {
  TempDir dir;
  // Readable and searchable by everyone, writable by no one.
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec |
                                  fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  const std::string message = refusalWithoutPrivileges(defaultInputs(), dir.path());
  fs::permissions(dir.path(), fs::perms::owner_all);
  expectNames(message, "Idle.wav", std::strerror(EACCES));
  EXPECT_TRUE(dir.entries().empty());
}

// A file-size limit makes the kernel refuse a write part-way through a file, as a full disk
// would; it is set for this process only and lifted again before any check. InterSymb.wav is made
// the longest, so Idle.wav is complete when the write fails.
TEST(MakeTonesFailure, WriteRefusedPartWayLeavesTheOldSetWhole) {
  TempDir dir;
  writeOldSet(dir);
  ToneInputs inputs = defaultInputs();
  inputs.InterSymbol = 1.0;  // 44144 bytes, the others 22092
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit limited = previous;
  limited.rlim_cur = 30000;
  auto* const previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  const std::string message = refusalOf(inputs, dir.path());
  ::setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);

  expectNames(message, "InterSymb.wav", std::strerror(EFBIG));
  expectOldSet(dir);
  EXPECT_EQ(dir.entries(), kAllToneFiles);
}

TEST(MakeTonesFailure, CancelledWriteLeavesTheOldSetWhole) {
  TempDir dir;
  writeOldSet(dir);
  std::vector<std::int64_t> done;
  const auto cancelInDot = [&](std::int64_t framesDone, std::int64_t framesTotal) {
    EXPECT_EQ(framesTotal, 3 * 5512 + 551);
    done.push_back(framesDone);
    return framesDone < 5512 + 551 + 100;
  };
  EXPECT_THROW(MakeTones(defaultInputs(), dir.path(), cancelInDot), ToneCancelled);
  EXPECT_TRUE(std::is_sorted(done.begin(), done.end()));
  EXPECT_GT(done.size(), 3U);
  expectOldSet(dir);
  EXPECT_EQ(dir.entries(), kAllToneFiles);
}

// A writer killed before it could clean up leaves its temporary file; the next write removes it,
// but not one whose writer still runs.
TEST(MakeTonesFailure, LeftoversOfDeadWritersGoAtTheNextWrite) {
  TempDir dir;
  const pid_t dead = ::fork();
  if (dead == 0) {
    ::_exit(0);
  }
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);
  const std::string leftover = ".Dot.wav.new-" + std::to_string(dead) + "-7";
  const std::string running = ".Idle.wav.new-" + std::to_string(::getppid()) + "-0";
  std::ofstream(dir / leftover) << "36.7 MB of an unfinished tone";
  std::ofstream(dir / running) << "still being written";

  MakeTones(defaultInputs(), dir.path());
  std::vector<std::string> expected = kAllToneFiles;
  expected.insert(expected.begin(), running);
  EXPECT_EQ(dir.entries(), expected);
}

}  // namespace
}  // namespace bitoner
