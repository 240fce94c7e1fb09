// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner render` run as a user runs it: the real executable, read back by independent readers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <numbers>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "command_line/run_bitoner.h"
#include "engine/parameters.h"
#include "engine/tones.h"
#include "support/child_process.h"
#include "support/pulse_daemon.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace bitoner {
namespace {

using testing::Bitoner;
using testing::Finished;
using testing::run;
using testing::samplesOf;
using testing::slurp;
using testing::TempDir;
using testing::TempWorkDir;

// The tones the window makes from these box texts, derived by its own change handlers.
ToneInputs windowTones(const std::string& symbLen, const std::string& intgap, const std::string& dB,
                       bool invert) {
  KeyingParameters parameters;
  parameters.SymbLen_Change(symbLen, intgap);
  parameters.dB_Change(dB);
  return ToneInputs{600.0,
                    1000.0,
                    1200.0,
                    kSampleRateHz,
                    parameters.SymbolLength,
                    parameters.InterSymbol,
                    parameters.Ampl,
                    invert};
}

std::vector<std::string> withIdle(std::vector<std::string> plays) {
  plays.emplace_back("idle.wav");
  return plays;
}

TEST(RenderTest, RecordingIsThePlayOrderOfTheToneFilesInEveryFormat) {
  const TempWorkDir work;
  const ToneInputs tones = windowTones(" .02", "10", "-10", false);
  MakeTones(tones);
  struct Message {
    std::vector<std::string> words;
    std::vector<std::string> plays;
  };
  const std::vector<Message> messages{
      {{"SOS"}, testing::playOrder(U"SOS")},
      {{"e", "t"}, testing::playOrder(U"E T")},  // joined with a blank, upper-cased
  };
  for (const std::string output : {"out.wav", "out.sigmf-data", "-"}) {
    for (const Message& message : messages) {
      SCOPED_TRACE(output + " " + message.words.front());
      const TempDir dir;
      std::vector<std::string> args{"render", "--symbol", "0.02", "-o", output};
      args.insert(args.end(), message.words.begin(), message.words.end());
      const Finished done = run(args, dir.path());
      ASSERT_EQ(done.status, 0) << done.err;
      std::vector<std::int16_t> samples;
      if (output == "-") {
        samples = samplesOf(done.out);
        EXPECT_TRUE(dir.entries().empty());
      } else if (output == "out.wav") {
        SF_INFO info{};
        samples = testing::readWavSamples(dir / output, &info);
        EXPECT_EQ(info.samplerate, kSampleRateHz);
        EXPECT_EQ(info.channels, 2);
        EXPECT_EQ(slurp(dir / output).size(), 44 + samples.size() * 2);
        EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.wav"});
      } else {
        samples = samplesOf(slurp(dir / output));
        EXPECT_EQ(dir.entries(), (std::vector<std::string>{"out.sigmf-data", "out.sigmf-meta"}));
      }
      EXPECT_TRUE(done.out.empty() || output == "-");
      EXPECT_EQ(samples, testing::framesOf(message.plays));
    }
  }

  // Options reach the tones as the window's boxes would: 150 is taken as milliseconds.
  const TempDir dir;
  const Finished done = run({"render", "--symbol=150", "--gap", "20 %", "--db", "6", "--invert",
                             "--loop", "2", "-o", "loop.wav", "SOS"},
                            dir.path());
  ASSERT_EQ(done.status, 0) << done.err;
  MakeTones(windowTones(" .15", "20", "6", true));
  const std::vector<std::string> pass = withIdle(testing::playOrder(U"SOS"));
  std::vector<std::string> plays = pass;
  plays.insert(plays.end(), pass.begin(), pass.end());
  EXPECT_EQ(testing::readWavSamples(dir / "loop.wav"), testing::framesOf(plays));
}

TEST(RenderTest, RefusalsAndFailuresWriteNothingAndKeepWhatWasThere) {
  const TempDir dir;
  std::ofstream(dir / "keep.wav") << "old";
  std::filesystem::create_directory(dir / "dir.wav");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const std::vector<Case> cases{
      {{"--symbol", "abc", "-o", "keep.wav", "SOS"}, 2, "--symbol"},
      {{"--db", ".e5", "-o", "keep.wav", "SOS"}, 2, "--db"},
      {{"-o", "keep.wav", "SOS~", "ÄÖ"}, 2, "no Morse pattern: \"~\", \"Ä\", \"Ö\""},
      {{"--dot", "1e400", "-o", "keep.wav", "E"}, 2, "--dot"},
      {{"--symbol", "100", "--loop", "300", "-o", "keep.wav", "E"}, 2, "SigMF"},
      {{"-o", "keep.raw", "E"}, 2, "keep.raw"},
      {{"-o", "dir.wav", "E"}, 1, "dir.wav: Is a directory"},
      {{"-o", "missing/x.sigmf-data", "E"}, 1, "missing/x.sigmf-data: No such file or directory"},
      {{"--shape", "smooth", "--glide", "0.1", "-o", "keep.wav", "E"}, 2, "--glide"},
      {{"--format", "cf32", "-o", "keep.wav", "E"}, 2, "--format"},
      {{"--rate", "7999", "-o", "keep.wav", "E"}, 2, "--rate"},
      {{"--start", "noon", "-o", "keep.sigmf-data", "E"}, 2, "--start"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"render"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    const Finished done = run(args, dir.path());
    EXPECT_EQ(done.status, c.status);
    EXPECT_NE(done.err.find(c.says), std::string::npos) << done.err;
    EXPECT_TRUE(done.out.empty());
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"dir.wav", "keep.wav"}));
    EXPECT_EQ(slurp(dir / "keep.wav"), "old");
    EXPECT_TRUE(std::filesystem::is_empty(dir / "dir.wav"));
  }
}

// A long SigMF render, started and seen writing its two temporary files.
class LongRender {
 public:
  explicit LongRender(const TempDir& dir)
      : render_({"render", "--symbol", "100", "--loop", "100", "-o", "long.sigmf-data", "E"},
                dir.path()) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (dir.entries().size() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  Bitoner& operator*() { return render_; }

 private:
  Bitoner render_;
};

TEST(RenderTest, InterruptLeavesNothingBehind) {
  for (const int signal : {SIGINT, SIGHUP, SIGPIPE}) {
    SCOPED_TRACE(strsignal(signal));
    const TempDir dir;
    LongRender render(dir);
    ASSERT_EQ(dir.entries().size(), 2U) << "the render never started writing";
    (*render).signal(signal);
    const Finished done = (*render).wait();
    EXPECT_EQ(done.status, 128 + signal);
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(RenderTest, LeftoversOfAKilledRenderGoAtTheNextRender) {
  const TempDir dir;
  {
    LongRender render(dir);
    (*render).signal(SIGKILL);
    EXPECT_EQ((*render).wait().status, 128 + SIGKILL);
  }
  ASSERT_EQ(dir.entries().size(), 2U);
  ASSERT_EQ(run({"render", "--symbol", "0.01", "-o", "next.wav", "E"}, dir.path()).status, 0);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"next.wav"});
}

// Sets or clears the immutable attribute; false where the file system or the privileges do not
// allow it.
bool makeImmutable(const std::filesystem::path& file, bool immutable) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  int flags = 0;
  bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
  done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  if (fd >= 0) {
    ::close(fd);
  }
  return done;
}

TEST(RenderTest, AFailedSigmfRenderLeavesTheOldPairAsItWas) {
  // A directory where the metadata goes: found before anything is written.
  {
    const TempDir dir;
    std::ofstream(dir / "x.sigmf-data") << "OLD";
    std::filesystem::create_directory(dir / "x.sigmf-meta");
    const Finished done = run({"render", "-o", "x.sigmf-data", "E"}, dir.path());
    EXPECT_EQ(done.status, 1);
    EXPECT_NE(done.err.find("x.sigmf-meta: Is a directory"), std::string::npos) << done.err;
    EXPECT_EQ(slurp(dir / "x.sigmf-data"), "OLD");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"x.sigmf-data", "x.sigmf-meta"}));
  }
  // Metadata that cannot be replaced: found only when the data is already swapped in.
  const TempDir dir;
  std::ofstream(dir / "x.sigmf-data") << "OLD";
  std::ofstream(dir / "x.sigmf-meta") << "{}";
  if (!makeImmutable(dir / "x.sigmf-meta", true)) {
    GTEST_SKIP() << "this file system or this user cannot make a file immutable";
  }
  const Finished done = run({"render", "-o", "x.sigmf-data", "E"}, dir.path());
  makeImmutable(dir / "x.sigmf-meta", false);
  EXPECT_EQ(done.status, 1);
  EXPECT_NE(done.err.find("x.sigmf-meta: Operation not permitted"), std::string::npos) << done.err;
  EXPECT_EQ(slurp(dir / "x.sigmf-data"), "OLD");
  EXPECT_EQ(slurp(dir / "x.sigmf-meta"), "{}");
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"x.sigmf-data", "x.sigmf-meta"}));
}

TEST(RenderTest, ConcurrentRendersToOneNameLeaveOneWholePair) {
  // The two recordings are the same length: only their tones tell them apart.
  const std::vector<std::string> messages{"E", "T"};
  std::vector<std::string> alone;
  for (const std::string& message : messages) {
    const TempDir dir;
    ASSERT_EQ(run({"render", "--symbol", "0.05", "-o", "x.sigmf-data", message}, dir.path()).status,
              0);
    alone.push_back(slurp(dir / "x.sigmf-data"));
  }
  ASSERT_EQ(alone[0].size(), alone[1].size());
  const TempDir dir;
  for (int attempt = 0; attempt < 10; ++attempt) {
    SCOPED_TRACE(attempt);
    Bitoner first({"render", "--symbol", "0.05", "-o", "x.sigmf-data", messages[0]}, dir.path());
    Bitoner second({"render", "--symbol", "0.05", "-o", "x.sigmf-meta", messages[1]}, dir.path(),
                   "second");
    ASSERT_EQ(first.wait().status, 0);
    ASSERT_EQ(second.wait().status, 0);
    const auto meta = nlohmann::json::parse(slurp(dir / "x.sigmf-meta"));
    const std::string description = meta["global"]["core:description"];
    const std::size_t which = description.starts_with("\"E\"") ? 0 : 1;
    ASSERT_EQ(slurp(dir / "x.sigmf-data"), alone[which]) << description;
    ASSERT_EQ(dir.entries(), (std::vector<std::string>{"x.sigmf-data", "x.sigmf-meta"}));
  }
}

// Refused before anything is written or played (the beacon meets no sound server here).
TEST(CommandLineTest, EachRefusalNamesWhatIsWrong) {
  const TempDir dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"foo"}, "unknown command \"foo\""},
      {{"--bogus"}, "unknown option \"--bogus\""},
      {{"render", "--bogus", "-o", "x.wav", "E"}, "unknown option \"--bogus\""},
      {{"render", "--invert", "--invert", "-o", "x.wav", "E"}, "--invert is given 2 times"},
      {{"render", "--loop", "0", "-o", "x.wav", "E"}, "--loop: \"0\" is not a count of 1 or more"},
      {{"render", "--idle", "6000", "-o", "x.wav", "E"}, "--idle: 6000 Hz"},
      {{"render", "--dash", "-5512.5", "-o", "x.wav", "E"}, "between -5512.5 and 5512.5 Hz"},
      {{"render", "-o", "x.wav", ""}, "the message is empty"},
      {{"render", "--symbol", "0.00001", "-o", "x.sigmf-data", "E"}, "no frames"},
      {{"beacon", "--passes", "0", "E"}, "--passes: \"0\" is not a count of 1 or more"},
      {{"beacon", "--quiet", "--quiet", "E"}, "--quiet is given 2 times"},
      {{"beacon", "--every", "10s", "--offset", "25s", "E"}, "--offset: \"25s\" is not below"},
      {{"beacon", "--symbol", "0.00001", "E"}, "no frames"},
      {{"tune", "--freq", "6000"}, "--freq: 6000 Hz"},
      {{"tune", "--freq", "1e400"}, "the tone (--freq) cannot be keyed: the frequency \"1e400\""},
      {{"tune", "--dot", "900"}, "\"900\" is an extra word, not an option: --dot takes no value"},
      {{"render", "--freq", "900", "-o", "x.wav", "E"}, "--freq: not used with --mode three-tone"},
      {{"render", "--mode", "qrss", "--dash", "900", "-o", "x.wav", "E"},
       "--dash: not used with --mode qrss"},
      {{"render", "--mode", "fskcw", "--gap", "20", "-o", "x.wav", "E"},
       "--gap: not used with --mode fskcw"},
      {{"beacon", "--mode", "dfcw", "--idle", "500", "E"}, "--idle: not used with --mode dfcw"},
      {{"render", "--mode", "fskcw", "--shift", "-6000", "-o", "x.wav", "E"},
       "--freq, --shift: the key-up tone"},
      // A key-up tone beyond any number is refused, not keyed at 0 Hz.
      {{"render", "--mode", "fskcw", "--shift", "-1e400", "-o", "x.wav", "E"},
       "the key-up tone (--freq, --shift, --symbol) cannot be keyed"},
  };
  for (const auto& [args, says] : cases) {
    SCOPED_TRACE(args.front() + " " + args[std::min<std::size_t>(1, args.size() - 1)]);
    const Finished done = run(args, dir.path());
    EXPECT_EQ(done.status, 2);
    EXPECT_NE(done.err.find(says), std::string::npos) << done.err;
    EXPECT_TRUE(done.out.empty());
    EXPECT_TRUE(dir.entries().empty());
  }
}

TEST(CommandLineTest, RawFramesGoToATerminalOnlyWhenForced) {
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(::grantpt(terminal), 0);
  ASSERT_EQ(::unlockpt(terminal), 0);
  const TempDir dir;
  for (const bool force : {false, true}) {
    // A few frames, which the terminal takes without anyone reading them.
    std::vector<std::string> args{
        BITONER_EXECUTABLE, "render", "--symbol", "0.001", "-o", "-", "E"};
    if (force) {
      args.insert(args.begin() + 2, "--force");
    }
    testing::ChildProcess render(args, {dir.path(), ::ptsname(terminal), dir / "err", {}});
    EXPECT_EQ(render.wait(std::chrono::seconds(10)), force ? 0 : 2) << slurp(dir / "err");
    EXPECT_EQ(slurp(dir / "err").find("terminal") != std::string::npos, !force);
  }
  ::close(terminal);
}

// With the sound server out of reach, a stop still says the run failed.
TEST(CommandLineTest, ABeaconStoppedWhileTheServerNeverAnsweredFails) {
  const TempDir dir;
  const testing::ScopedEnv server("PULSE_SERVER", "unix:" + (dir / "no-server").string());
  testing::ChildProcess beacon({BITONER_EXECUTABLE, "beacon", "E"},
                               {dir.path(), {}, dir / "err", {}});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(dir / "err") ||
         slurp(dir / "err").find("unreachable") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the beacon never tried the server";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  beacon.signal(SIGTERM);
  EXPECT_EQ(beacon.wait(std::chrono::seconds(5)), 1) << slurp(dir / "err");
}

TEST(RenderTest, SigmfAnnotationsTileTheRecording) {
  const TempDir dir;
  constexpr double kRadioHz = 7040000;
  const Finished done =
      run({"render", "--symbol", "0.01", "--invert", "--loop", "2", "--frequency", "7040000",
           "--start", "2026-12-08T14:00:00Z", "-o", "rec.sigmf-meta", "SOS", "E"},
          dir.path());
  ASSERT_EQ(done.status, 0) << done.err;
  const auto meta = nlohmann::json::parse(slurp(dir / "rec.sigmf-meta"));
  const auto frames = static_cast<std::int64_t>(slurp(dir / "rec.sigmf-data").size() / 4);
  EXPECT_EQ(meta["global"]["core:datatype"], "ci16_le");
  EXPECT_EQ(meta["global"]["core:sample_rate"], kSampleRateHz);
  EXPECT_EQ(meta["global"]["core:version"], "1.2.0");
  EXPECT_NE(meta["global"]["core:recorder"].get<std::string>().find("Bitoner"), std::string::npos);
  EXPECT_NE(meta["global"]["core:description"].get<std::string>().find("SOS E"), std::string::npos);
  EXPECT_EQ(meta["captures"], nlohmann::json::parse(R"([{"core:sample_start": 0,
      "core:frequency": 7040000.0, "core:datetime": "2026-12-08T14:00:00Z"}])"));
  // Every key outside the core namespace belongs to a declared extension.
  std::set<std::string> declared{"core"};
  for (auto& extension : meta["global"]["core:extensions"]) {
    declared.insert(extension.value("name", std::string()));
  }
  EXPECT_TRUE(declared.contains("bitoner"));
  std::vector<nlohmann::json> objects{meta["global"], meta["captures"][0]};
  objects.insert(objects.end(), meta["annotations"].begin(), meta["annotations"].end());
  for (const auto& object : objects) {
    for (const auto& [key, value] : object.items()) {
      EXPECT_TRUE(declared.contains(key.substr(0, key.find(':')))) << key;
    }
  }

  struct Expected {
    std::string label;
    std::string comment;
    double lower;
    double upper;
  };
  const std::vector<Expected> pass{{"S", "...", -1000, -600}, {"O", "---", -1200, -600},
                                   {"S", "...", -1000, -600}, {" ", "", -600, -600},
                                   {"E", ".", -1000, -600},   {"loop idle", "", -600, -600}};
  const auto& annotations = meta["annotations"];
  ASSERT_EQ(annotations.size(), 2 * pass.size());
  std::int64_t next = 0;
  for (std::size_t k = 0; k < annotations.size(); ++k) {
    const auto& a = annotations[k];
    const Expected& expected = pass[k % pass.size()];
    SCOPED_TRACE(k);
    EXPECT_EQ(a["core:sample_start"].get<std::int64_t>(), next);
    EXPECT_GT(a["core:sample_count"].get<std::int64_t>(), 0);
    next += a["core:sample_count"].get<std::int64_t>();
    EXPECT_EQ(a["core:label"], expected.label);
    EXPECT_EQ(a.value("core:comment", ""), expected.comment);
    EXPECT_EQ(a["core:freq_lower_edge"], kRadioHz + expected.lower);
    EXPECT_EQ(a["core:freq_upper_edge"], kRadioHz + expected.upper);
  }
  EXPECT_EQ(next, frames);
}

// Every mode, hard and smooth, with noise: its name in the metadata, each character annotated at
// the tones it sounds (silence has none), and as many frames as without noise.
TEST(RenderTest, EveryModeRendersInBothShapesWithNoise) {
  const TempDir dir;
  struct Mode {
    std::vector<std::string> options;
    double lower;  // the edges of "E": its dot and what follows it, if it sounds
    double upper;
  };
  const std::vector<Mode> modes{{{"--mode", "three-tone"}, 600, 1000},
                                {{"--mode", "dfcw"}, 1000, 1000},
                                {{"--mode", "qrss", "--freq", "800"}, 800, 800},
                                {{"--mode", "fskcw", "--freq", "800", "--shift", "4"}, 796, 800}};
  for (const Mode& mode : modes) {
    for (const std::string shape : {"hard", "smooth"}) {
      SCOPED_TRACE(mode.options[1] + " " + shape);
      std::vector<std::string> args{"render", "--shape", shape, "--symbol", "0.02", "E"};
      args.insert(args.end(), mode.options.begin(), mode.options.end());
      std::vector<std::string> clean = args;
      clean.insert(clean.end(), {"-o", "clean.wav"});
      ASSERT_EQ(run(clean, dir.path()).status, 0);
      args.insert(args.end(), {"--snr", "10", "--seed", "3", "-o", "noisy.sigmf-data"});
      const Finished done = run(args, dir.path());
      ASSERT_EQ(done.status, 0) << done.err;
      const auto meta = nlohmann::json::parse(slurp(dir / "noisy.sigmf-meta"));
      EXPECT_EQ(meta["global"]["bitoner:mode"], mode.options[1]);
      const auto& e = meta["annotations"].at(0);
      EXPECT_EQ(e["core:label"], "E");
      EXPECT_EQ(e["core:freq_lower_edge"], mode.lower);
      EXPECT_EQ(e["core:freq_upper_edge"], mode.upper);
      EXPECT_EQ(slurp(dir / "noisy.sigmf-data").size(),
                testing::readWavSamples(dir / "clean.wav").size() * sizeof(std::int16_t));
    }
  }
}

std::vector<float> floatsOf(const std::string& bytes) {
  std::vector<float> samples(bytes.size() / sizeof(float));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
  return samples;
}

TEST(RenderSignal, HardAtAnotherRateIsTheToneFormulaAtThatRate) {
  const TempDir dir;
  const Finished done =
      run({"render", "--rate", "48000", "--symbol", "0.02", "-o", "e.wav", "E"}, dir.path());
  ASSERT_EQ(done.status, 0) << done.err;
  SF_INFO info{};
  const std::vector<std::int16_t> samples = testing::readWavSamples(dir / "e.wav", &info);
  EXPECT_EQ(info.samplerate, 48000);
  const double amplitude = kFullScale * std::pow(10.0, -10.0 / 20.0);
  struct Play {
    double hz;
    int frames;
  };
  std::vector<std::int16_t> expected;
  // E: the dot, its gap and the idle symbol, each from phase 0.
  for (const auto [hz, frames] : {Play{1000, 960}, Play{600, 96}, Play{600, 960}}) {
    for (int i = 0; i < frames; ++i) {
      const double theta = static_cast<double>(i) * (hz / 48000) * 6.283185307178;
      expected.push_back(static_cast<std::int16_t>(std::nearbyint(std::cos(theta) * amplitude)));
      expected.push_back(static_cast<std::int16_t>(std::nearbyint(std::sin(theta) * amplitude)));
    }
  }
  EXPECT_EQ(samples, expected);
}

TEST(RenderSignal, ClockCorrectionShowsInThePhaseSlopeOfBothShapes) {
  const TempDir dir;
  for (const std::string shape : {"hard", "smooth"}) {
    SCOPED_TRACE(shape);
    const Finished done = run({"render", "--shape", shape, "--ppm", "250", "--rate", "8000",
                               "--symbol", "0.5", "--format", "cf32", "-o", "-", "T"},
                              dir.path());
    ASSERT_EQ(done.status, 0) << done.err;
    const std::vector<float> samples = floatsOf(done.out);
    ASSERT_GE(samples.size(), 2U * 4000);
    // The middle of the dash, frames 1000 to 3000 of its 4000.
    double cycles = 0.0;
    for (std::size_t n = 1000; n < 3000; ++n) {
      const std::complex<double> a(samples[2 * n], samples[2 * n + 1]);
      const std::complex<double> b(samples[2 * n + 2], samples[2 * n + 3]);
      cycles += std::arg(b * std::conj(a)) / (2 * std::numbers::pi);
    }
    EXPECT_NEAR(cycles / 2000 * 8000, 1200 / (1 + 250e-6), 1e-3);
  }
}

TEST(RenderSignal, Cf32HoldsTheSamplesBeforeRoundingAndTheDigestIsTheDataFiles) {
  const TempDir dir;
  for (const std::string shape : {"hard", "smooth"}) {
    SCOPED_TRACE(shape);
    const std::vector<std::string> keying{"--shape", shape, "--symbol", "0.05", "PARIS"};
    std::vector<std::string> ci16{"render", "-o", "i.sigmf-data"};
    std::vector<std::string> cf32{"render", "--format", "cf32", "-o", "f.sigmf-data"};
    ci16.insert(ci16.end(), keying.begin(), keying.end());
    cf32.insert(cf32.end(), keying.begin(), keying.end());
    ASSERT_EQ(run(ci16, dir.path()).status, 0);
    ASSERT_EQ(run(cf32, dir.path()).status, 0);
    const std::vector<std::int16_t> rounded = samplesOf(slurp(dir / "i.sigmf-data"));
    const std::vector<float> exact = floatsOf(slurp(dir / "f.sigmf-data"));
    ASSERT_EQ(rounded.size(), exact.size());
    for (std::size_t k = 0; k < exact.size(); ++k) {
      // Each 16-bit sample is the rounding of the float's value, up to the float's precision.
      ASSERT_LE(std::fabs(static_cast<double>(exact[k]) * 32767 - rounded[k]), 0.501) << k;
    }
    for (const std::string name : {"i", "f"}) {
      const auto meta = nlohmann::json::parse(slurp(dir / (name + ".sigmf-meta")));
      EXPECT_EQ(meta["global"]["core:datatype"], name == "i" ? "ci16_le" : "cf32_le");
      EXPECT_EQ(meta["global"]["bitoner:shape"], shape);
      const std::string command = "sha512sum " + (dir / (name + ".sigmf-data")).string();
      std::FILE* pipe = ::popen(command.c_str(), "r");
      ASSERT_NE(pipe, nullptr);
      char digest[129] = {};
      ASSERT_EQ(std::fread(digest, 1, 128, pipe), 128U);
      ::pclose(pipe);
      EXPECT_EQ(meta["global"]["core:sha512"], std::string(digest));
    }
  }
}

TEST(RenderTest, NoiseIsRepeatableAndAtTheRequestedRatio) {
  const TempDir dir;
  const std::vector<std::string> keying{"--symbol", "0.05", "CQ", "DE", "TEST"};
  const auto render = [&](const std::vector<std::string>& options) {
    std::vector<std::string> args{"render"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), keying.begin(), keying.end());
    const Finished done = run(args, dir.path());
    EXPECT_EQ(done.status, 0) << done.err;
  };
  render({"--snr", "-3", "--seed", "7", "-o", "a.sigmf-data"});
  render({"--snr=-3", "--seed", "7", "-o", "b.wav"});
  render({"-o", "clean.wav"});
  const std::vector<std::int16_t> noisy = samplesOf(slurp(dir / "a.sigmf-data"));
  const std::vector<std::int16_t> clean = testing::readWavSamples(dir / "clean.wav");
  EXPECT_EQ(testing::readWavSamples(dir / "b.wav"), noisy);
  ASSERT_EQ(noisy.size(), clean.size());

  const auto global = nlohmann::json::parse(slurp(dir / "a.sigmf-meta"))["global"];
  EXPECT_EQ(global["bitoner:snr_db"], -3.0);
  EXPECT_EQ(global["bitoner:snr_bandwidth_hz"], 2500.0);
  EXPECT_EQ(global["bitoner:noise_seed"], 7);
  const double scale = global["bitoner:scale"];
  EXPECT_NE(global["core:description"].get<std::string>().find("-3 dB SNR in 2500 Hz (seed 7)"),
            std::string::npos);
  // Just enough lowered that nothing clips: the loudest sample reaches full scale.
  EXPECT_LT(scale, 1.0);
  const auto loudest = *std::max_element(noisy.begin(), noisy.end(),
                                         [](auto a, auto b) { return std::abs(a) < std::abs(b); });
  EXPECT_GE(std::abs(loudest), 32766);

  double signal = 0.0;
  double noise = 0.0;
  for (std::size_t k = 0; k < noisy.size(); ++k) {
    const double s = scale * clean[k];
    signal += s * s;
    noise += (noisy[k] - s) * (noisy[k] - s);
  }
  const double snrDb = 10.0 * std::log10(signal / (noise * 2500.0 / kSampleRateHz));
  EXPECT_NEAR(snrDb, -3.0, 0.5);

  // Another seed, other samples: about half of them differ in sign from the first seed's.
  const Finished other = run(
      {"render", "--snr", "-3", "--seed", "8", "-o", "-", "--symbol", "0.05", "CQ", "DE", "TEST"},
      dir.path());
  const std::vector<std::int16_t> reseeded = samplesOf(other.out);
  ASSERT_EQ(reseeded.size(), noisy.size());
  std::size_t differ = 0;
  for (std::size_t k = 0; k < noisy.size(); ++k) {
    differ += (reseeded[k] < 0) != (noisy[k] < 0) ? 1U : 0U;
  }
  EXPECT_GT(differ, noisy.size() / 3);

  const Finished alone = run({"render", "--snr", "-3", "-o", "c.wav", "E"}, dir.path());
  EXPECT_EQ(alone.status, 2);
  EXPECT_NE(alone.err.find("--seed"), std::string::npos);
}

TEST(RenderTest, HelpAndVersionNeedNoDisplay) {
  const TempDir dir;
  const Finished help = run({"render", "--help"}, dir.path());
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("bitoner render [OPTIONS] -o FILE MESSAGE..."), std::string::npos);
  // A validator's description is not glued to the option's value name.
  EXPECT_NE(run({"beacon", "--help"}, dir.path()).out.find("--passes N "), std::string::npos);
  const Finished version = run({"--version"}, dir.path());
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(version.out.starts_with("bitoner ")) << version.out;
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace bitoner
