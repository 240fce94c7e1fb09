// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner decode` run as a user runs it, on recordings that `bitoner render` made.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <numbers>
#include <regex>
#include <string>
#include <vector>

#include "command_line/run_bitoner.h"
#include "engine/noise.h"
#include "engine/patterns.h"
#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace bitoner {
namespace {

using testing::Finished;
using testing::render;
using testing::run;
using testing::slurp;
using testing::TempDir;
using testing::with;

// Short symbols keep the tests quick; at 50 ms the decoder reads without error down to about
// -10 dB, so the noisy cases below keep a margin of 5 dB or more.
const std::vector<std::string> kShort{"--symbol", "0.05"};

TEST(DecodeTest, ReadsEveryCharacterOfACleanRecording) {
  const TempDir dir;
  // Every character with a pattern, in words of a few characters.
  std::string message;
  const PatternTable table = CWchars();
  for (std::size_t code = 0; code < table.size(); ++code) {
    if (!table[code].empty()) {
      message += static_cast<char>(code);
      if (message.size() % 6 == 5) {
        message += ' ';
      }
    }
  }
  render(with(kShort, {"-o", "all.wav", message}), dir);
  const Finished done = run(with({"decode"}, with(kShort, {"all.wav"})), dir.path());
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(done.out, message + "\n");
}

TEST(DecodeTest, ReadsNoisyRecordingsOfEveryKind) {
  const TempDir dir;
  const std::string message = "CQ DE K1ABC 5NN";
  render(with(kShort, {"--snr", "-4", "--seed", "1", "-o", "iq.wav", message}), dir);
  render(with(kShort, {"--snr", "-1", "--seed", "2", "-o", "mono.sigmf-data", message}), dir);
  render(with(kShort,
              {"--snr", "-4", "--seed", "3", "--format", "cf32", "-o", "f32.sigmf-data", message}),
         dir);

  // A receiver's audio: the I channel alone, its SNR stated on the complex signal.
  {
    const std::vector<std::int16_t> iq = testing::samplesOf(slurp(dir / "mono.sigmf-data"));
    std::vector<std::int16_t> mono;
    for (std::size_t k = 0; k < iq.size(); k += 2) {
      mono.push_back(iq[k]);
    }
    SF_INFO info{};
    info.samplerate = 11025;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open((dir / "mono.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_write_short(file, mono.data(), static_cast<sf_count_t>(mono.size()));
    sf_close(file);
  }
  for (const std::string input : {"iq.wav", "mono.wav", "f32.sigmf-meta"}) {
    SCOPED_TRACE(input);
    const Finished done = run(with({"decode"}, with(kShort, {input})), dir.path());
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, message + "\n");
    EXPECT_TRUE(done.err.empty()) << done.err;
  }

  // Raw frames through a pipe, at another rate than the default.
  const std::string pipeline = std::string("\"$0\" render --symbol 0.05 --snr -4 --seed 4 -o - ") +
                               message + " | \"$0\" decode --rate=11025.0 --symbol 0.05 -";
  testing::ChildProcess shell({"/bin/sh", "-c", pipeline, BITONER_EXECUTABLE},
                              {dir.path(), dir / "pipe.out", dir / "pipe.err", {}});
  EXPECT_EQ(shell.wait(), 0) << slurp(dir / "pipe.err");
  EXPECT_EQ(slurp(dir / "pipe.out"), message + "\n");
}

// Each mode read back through noise, its tones off their nominal places and the reading told
// only the mode and the nominal tones.
TEST(DecodeTest, ReadsEveryModeBackThroughNoise) {
  const TempDir dir;
  const std::string message = "VK2ZZ DE N0CALL";
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> modes{
      {{"--mode", "dfcw", "--dot", "1001", "--dash", "1201"}, {"--mode", "dfcw"}},
      {{"--mode", "qrss", "--freq", "998.5"}, {"--mode", "qrss"}},
      {{"--mode", "fskcw", "--freq", "1001.5", "--shift", "20"},
       {"--mode", "fskcw", "--shift", "20"}},
  };
  for (const auto& [keyed, told] : modes) {
    for (const std::string seed : {"5", "6"}) {
      SCOPED_TRACE(keyed[1] + " seed " + seed);
      render(with(kShort, with(keyed, {"--snr", "-4", "--seed", seed, "-o", "m.wav", message})),
             dir);
      const Finished done = run(with({"decode"}, with(kShort, with(told, {"m.wav"}))), dir.path());
      EXPECT_EQ(done.status, 0) << done.err;
      EXPECT_EQ(done.out, message + "\n");
    }
  }
}

// FSKCW's default 5 Hz shift at 0.2 s, as the beacon keys it: the default search is narrowed to
// keep the tones apart, and said so; the same search typed is refused.
TEST(DecodeTest, NarrowsTheDefaultSearchToWhatCloseTonesAllow) {
  const TempDir dir;
  const std::vector<std::string> keying{"--mode", "fskcw", "--symbol", "0.2"};
  render(with(keying, {"--freq", "1000.8", "-o", "f.wav", "TEST"}), dir);
  const Finished narrowed = run(with({"decode", "--verbose", "f.wav"}, keying), dir.path());
  EXPECT_EQ(narrowed.status, 0) << narrowed.err;
  EXPECT_EQ(narrowed.out, "TEST\n");
  EXPECT_NE(narrowed.err.find("within 1.2 Hz"), std::string::npos) << narrowed.err;
  const Finished chosen = run(with({"decode", "--search", "3", "f.wav"}, keying), dir.path());
  EXPECT_EQ(chosen.status, 2);
  EXPECT_NE(chosen.err.find("too close"), std::string::npos) << chosen.err;
}

TEST(DecodeTest, VerboseAndAnnotationsTellWhatWasRead) {
  const TempDir dir;
  render(with(kShort, {"--invert", "--snr", "10", "--seed", "5", "--start",
                       "2026-12-08T23:59:59.5Z", "-o", "rec.sigmf-data", "TEST"}),
         dir);
  const Finished done = run(
      with({"decode", "--invert", "--verbose", "--annotate", "read.sigmf-meta", "rec.sigmf-data"},
           kShort),
      dir.path());
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(done.out, "TEST\n");
  EXPECT_NE(done.err.find("offset "), std::string::npos) << done.err;
  EXPECT_NE(done.err.find(" dB in 2500 Hz"), std::string::npos) << done.err;
  EXPECT_NE(done.err.find("0.000 s  T -  confidence 1.000"), std::string::npos) << done.err;
  EXPECT_NE(done.err.find("transmission from 0.000 s (2026-12-08T23:59:59.500Z) to"),
            std::string::npos)
      << done.err;

  const auto meta = nlohmann::json::parse(slurp(dir / "read.sigmf-meta"));
  EXPECT_EQ(meta["global"]["core:datatype"], "ci16_le");
  EXPECT_EQ(meta["global"]["core:sample_rate"], 11025.0);
  // The same SigMF as render writes: its version, and our keys in the declared extension.
  EXPECT_EQ(meta["global"]["core:version"], "1.2.0");
  EXPECT_EQ(meta["global"]["core:extensions"][0]["name"], "bitoner");
  EXPECT_EQ(meta["captures"][0]["core:datetime"], "2026-12-08T23:59:59.5Z");
  // The transmission first, starting in UTC where the recording says when it began, then each
  // character.
  ASSERT_EQ(meta["annotations"].size(), 5U);
  const auto& transmission = meta["annotations"][0];
  EXPECT_EQ(transmission["core:label"], "TEST");
  EXPECT_EQ(transmission["core:sample_start"], 0);
  EXPECT_EQ(transmission["bitoner:start_utc"], "2026-12-08T23:59:59.500Z");
  EXPECT_NE(transmission["core:generator"].get<std::string>().find("decoder"), std::string::npos);
  const nlohmann::json annotations(meta["annotations"].begin() + 1, meta["annotations"].end());
  const auto rendered = nlohmann::json::parse(slurp(dir / "rec.sigmf-meta"))["annotations"];
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(annotations[k]["core:label"], rendered[k]["core:label"]);
    EXPECT_EQ(annotations[k]["core:comment"], rendered[k]["core:comment"]);
    // Where the character starts, to within one step of the timing search.
    EXPECT_NEAR(annotations[k]["core:sample_start"].get<double>(),
                rendered[k]["core:sample_start"].get<double>(), 30.0);
    EXPECT_EQ(annotations[k]["core:freq_upper_edge"].get<double>() < 0, true);
    EXPECT_NE(annotations[k]["core:generator"].get<std::string>().find("Bitoner"),
              std::string::npos);
  }
}

// A SigMF recording of Bitoner's says how it was keyed: decode follows it where no option says
// otherwise, and --verbose tells which settings came from the recording.
TEST(DecodeTest, FollowsTheKeyingTheRecordingStates) {
  const TempDir dir;
  // Made for a sound card 2 % fast: the tone lies 18 Hz below 900 Hz in the recording.
  render(with(kShort, {"--mode", "qrss", "--freq", "900", "--invert", "--ppm", "20000", "--snr",
                       "5", "--seed", "1", "-o", "q.sigmf-data", "CQ TEST"}),
         dir);
  const Finished followed = run({"decode", "--verbose", "q.sigmf-data"}, dir.path());
  EXPECT_EQ(followed.status, 0) << followed.err;
  EXPECT_EQ(followed.out, "CQ TEST\n");
  EXPECT_NE(followed.err.find("as the recording says it was keyed: mode qrss, symbol 0.05 s, "
                              "freq 900 Hz, inverted, tones made for a clock 20000 ppm fast\n"),
            std::string::npos)
      << followed.err;
  // The tone is found where it was made, not 18 Hz off.
  const std::size_t offset = followed.err.find("offset ");
  ASSERT_NE(offset, std::string::npos) << followed.err;
  EXPECT_LT(std::fabs(std::stod(followed.err.substr(offset + 7))), 1.0) << followed.err;

  // A recording that says it was inverted can be read as not inverted: there is nothing there.
  const Finished upright = run({"decode", "--no-invert", "q.sigmf-data"}, dir.path());
  EXPECT_EQ(upright.status, 0) << upright.err;
  EXPECT_EQ(upright.out, "\n");

  // A typed option wins: at 2000 Hz there is nothing to read.
  const Finished typed = run({"decode", "--verbose", "--freq", "2000", "q.sigmf-data"}, dir.path());
  EXPECT_EQ(typed.status, 0) << typed.err;
  EXPECT_EQ(typed.out, "\n");
  EXPECT_NE(
      typed.err.find(
          "keyed: mode qrss, symbol 0.05 s, inverted, tones made for a clock 20000 ppm fast\n"),
      std::string::npos)
      << typed.err;
}

// A beacon heard twice by a receiver whose frequency drifts: two transmissions a minute apart,
// the tones rising 6 Hz a minute, noise throughout, kept as a receiving station keeps it (a float
// WAV of I/Q). One line for each transmission, and --verbose tells where each began and its drift;
// in three-tone and in FSKCW, whose elements and pauses follow ordinary Morse timing.
TEST(DecodeTest, ReadsADriftingTwoPassRecordingLineByLine) {
  for (const std::string mode : {"three-tone", "fskcw"}) {
    SCOPED_TRACE(mode);
    const TempDir dir;
    const std::vector<std::string> symbol{"--symbol", "0.5", "--mode", mode};
    render(with(symbol, {"-o", "a.sigmf-data", "VVV DE G3XBM"}), dir);
    render(with(symbol, {"-o", "b.sigmf-data", "CQ TEST K"}), dir);
    constexpr double kRate = 11025.0;
    const auto frames = [&](const char* name) {
      const std::vector<std::int16_t> raw = testing::samplesOf(slurp(dir / name));
      std::vector<std::complex<double>> out;
      for (std::size_t k = 0; k + 1 < raw.size(); k += 2) {
        out.emplace_back(raw[k] / 32768.0, raw[k + 1] / 32768.0);
      }
      return out;
    };
    const std::vector<std::complex<double>> a = frames("a.sigmf-data");
    const std::vector<std::complex<double>> b = frames("b.sigmf-data");
    const auto at = [&](double seconds) { return static_cast<std::size_t>(seconds * kRate); };
    const std::size_t secondStart = at(5.0) + a.size() + at(60.0);
    std::vector<std::complex<double>> clean(secondStart + b.size() + at(5.0));
    std::copy(a.begin(), a.end(), clean.begin() + static_cast<std::ptrdiff_t>(at(5.0)));
    std::copy(b.begin(), b.end(), clean.begin() + static_cast<std::ptrdiff_t>(secondStart));
    ComplexNoise noise(11, noiseSigmaFor(std::norm(a.front()), -10.0, kRate));
    std::vector<float> interleaved;
    double turns = 0.0;
    for (std::size_t n = 0; n < clean.size(); ++n) {
      turns = std::fmod(turns + (-2.0 + 0.1 * static_cast<double>(n) / kRate) / kRate, 1.0);
      double i = 0.0;
      double q = 0.0;
      noise.next(i, q);
      const std::complex<double> x =
          clean[n] * std::polar(1.0, 2.0 * std::numbers::pi * turns) + std::complex<double>(i, q);
      interleaved.push_back(static_cast<float>(x.real()));
      interleaved.push_back(static_cast<float>(x.imag()));
    }
    SF_INFO info{};
    info.samplerate = static_cast<int>(kRate);
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open((dir / "heard.wav").c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr);
    sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(clean.size()));
    sf_close(file);

    const Finished done =
        run(with({"decode", "--drift", "10", "--verbose", "heard.wav"}, symbol), dir.path());
    EXPECT_EQ(done.status, 0) << done.err;
    EXPECT_EQ(done.out, "VVV DE G3XBM\nCQ TEST K\n");
    const std::regex line(R"(transmission from ([0-9.]+) s to [0-9.]+ s, offset ([-+0-9.]+) Hz to )"
                          R"([-+0-9.]+ Hz \(drift ([-+0-9.]+) Hz a minute\))");
    std::vector<std::smatch> found;
    for (auto it = std::sregex_iterator(done.err.begin(), done.err.end(), line);
         it != std::sregex_iterator(); ++it) {
      found.push_back(*it);
    }
    ASSERT_EQ(found.size(), 2U) << done.err;
    const double starts[] = {5.0, static_cast<double>(secondStart) / kRate};
    for (std::size_t k = 0; k < 2; ++k) {
      EXPECT_NEAR(std::stod(found[k][1]), starts[k], 0.05) << done.err;
      EXPECT_NEAR(std::stod(found[k][2]), -2.0 + 0.1 * starts[k], 0.3) << done.err;
      EXPECT_NEAR(std::stod(found[k][3]), 6.0, 1.5) << done.err;
    }
  }
}

TEST(DecodeTest, RefusesUsageAndReportsUnreadableFiles) {
  const TempDir dir;
  std::ofstream(dir / "text.wav") << "not a recording";
  render(with(kShort, {"-o", "rec.sigmf-data", "E"}), dir);
  const std::string meta = slurp(dir / "rec.sigmf-meta");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const std::vector<Case> cases{
      {{}, 2, "give a recording"},
      {{"--symbol", "abc", "x.wav"}, 2, "--symbol"},
      {{"--search", "250", "rec.sigmf-data"}, 2, "too close"},
      {{"--annotate", "x.json", "rec.sigmf-data"}, 2, ".sigmf-meta"},
      {{"--annotate", "rec.sigmf-meta", "rec.sigmf-data"}, 2, "overwrite"},
      {{"missing.wav"}, 1, "missing.wav: No such file or directory"},
      {{"text.wav"}, 1, "text.wav: not a WAV file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const Finished done = run(with({"decode"}, c.args), dir.path());
    EXPECT_EQ(done.status, c.status);
    EXPECT_NE(done.err.find(c.says), std::string::npos) << done.err;
    EXPECT_TRUE(done.out.empty());
  }
  EXPECT_EQ(slurp(dir / "rec.sigmf-meta"), meta);
  EXPECT_EQ(dir.entries(),
            (std::vector<std::string>{"rec.sigmf-data", "rec.sigmf-meta", "text.wav"}));
}

// Recordings from strangers: a metadata rate that is no rate, a key of ours that is no number and
// samples that are no numbers are the file's fault; a file cut short is read as far as it goes,
// with a word on standard error.
TEST(DecodeTest, RecordingsThatLieAreAnsweredPlainly) {
  const TempDir dir;
  render(with(kShort, {"--format", "cf32", "-o", "f32.sigmf-data", "TEST"}), dir);
  render(with(kShort, {"-o", "rec.wav", "TEST"}), dir);
  const std::string data = slurp(dir / "f32.sigmf-data");
  auto meta = nlohmann::json::parse(slurp(dir / "f32.sigmf-meta"));
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
  };
  meta["global"]["core:sample_rate"] = 1e300;
  write("rate.sigmf-meta", meta.dump());
  write("rate.sigmf-data", data);
  meta = nlohmann::json::parse(slurp(dir / "f32.sigmf-meta"));
  meta["global"]["bitoner:dot_hz"] = "1000";
  write("key.sigmf-meta", meta.dump());
  write("key.sigmf-data", data);
  std::string notNumbers = data;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::memcpy(notNumbers.data() + 4000, &nan, sizeof nan);
  write("nan.sigmf-data", notNumbers);
  write("nan.sigmf-meta", slurp(dir / "f32.sigmf-meta"));
  write("cut.sigmf-data", data.substr(0, data.size() - 3));
  write("cut.sigmf-meta", slurp(dir / "f32.sigmf-meta"));
  // The data chunk still declares the whole recording; the file lost its last quarter.
  const std::string wav = slurp(dir / "rec.wav");
  write("short.wav", wav.substr(0, wav.size() * 3 / 4));

  struct Case {
    std::string file;
    int status;
    std::string says;
  };
  const std::vector<Case> cases{
      {"rate.sigmf-data", 1, "rate.sigmf-meta: core:sample_rate 1e+300 is not a plausible rate"},
      {"key.sigmf-data", 1, "key.sigmf-meta: bitoner:dot_hz is \"1000\"; it must be a frequency"},
      {"nan.sigmf-data", 1, "nan.sigmf-data: frame 500 holds a sample that is not a number (NaN)"},
      {"cut.sigmf-data", 0,
       "warning: cut.sigmf-data: the recording ends in the middle of a sample"},
      {"short.wav", 0, "warning: short.wav: the data chunk declares "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const Finished done = run(with({"decode"}, with(kShort, {c.file})), dir.path());
    EXPECT_EQ(done.status, c.status);
    EXPECT_NE(done.err.find(c.says), std::string::npos) << done.err;
    EXPECT_EQ(done.out.empty(), c.status != 0) << done.out;
  }
}

}  // namespace
}  // namespace bitoner
