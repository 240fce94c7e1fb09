// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner grab` run as a user runs it, on recordings that `bitoner render` made; the pictures
// are read back with libpng.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "command_line/run_bitoner.h"
#include "support/png_file.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using testing::Finished;
using testing::PngPicture;
using testing::readPng;
using testing::render;
using testing::run;
using testing::slurp;
using testing::TempDir;
using testing::with;

// Where the spectrogram lies on a picture: a column per time step, a row per frequency step,
// below the title (and the line of what was read) and above the time axis.
constexpr int kPlotLeft = 100;
constexpr int kPlotTop = 30;
constexpr int kBelowPlot = 44;
constexpr int kColumns = 1200;
constexpr int kColourBarLeft = kPlotLeft + kColumns + 12;
constexpr int kNoRecordingGreen = 48;

// Seconds from the recording's start to each character, from render's annotations.
std::vector<double> characterStarts(const TempDir& dir, const std::string& meta) {
  const auto json = nlohmann::json::parse(slurp(dir / meta));
  const double rate = json["global"]["core:sample_rate"].get<double>();
  std::vector<double> starts;
  for (const auto& a : json["annotations"]) {
    starts.push_back(a["core:sample_start"].get<double>() / rate);
  }
  return starts;
}

TEST(GrabTest, DrawsEachToneOnItsRowFromItsStartAtItsLevel) {
  const TempDir dir;
  // A dot at 1000 Hz, a word space of idle at 600 Hz, a dash at 1200 Hz; 5 s into a 1-minute frame.
  render({"--symbol", "1", "--start", "2026-12-08T14:00:05Z", "-o", "et.sigmf-data", "E T"}, dir);
  const Finished done = run({"grab", "--symbol", "1", "--frame", "1m", "--resolution", "4",
                             "--range", "-40:0", "et.sigmf-data"},
                            dir.path());
  ASSERT_EQ(done.status, 0) << done.err;
  const PngPicture picture = readPng((dir / "grab-20261208T1400Z.png").string());
  ASSERT_GT(picture.width, 0);
  EXPECT_EQ(slurp(dir / "grab-latest.png"), slurp(dir / "grab-20261208T1400Z.png"));
  const int rows = picture.height - kPlotTop - kBelowPlot;
  // The default band: the tones' spread and 15 % of it beyond each side.
  const double low = 600.0 - 90.0;
  const double high = 1200.0 + 90.0;
  const double rowHz = (high - low) / rows;
  const double columnSeconds = 60.0 / kColumns;
  const auto rowOf = [&](double hz) { return (high - hz) / rowHz - 0.5; };
  const auto columnOf = [&](double seconds) {
    return static_cast<int>(std::floor(seconds / columnSeconds));
  };
  // The colour bar runs from the range's low end at the bottom to its high end at the top.
  const auto barGreen = [&](double db) {
    const double t = (db + 40.0) / 40.0;
    return picture.green(kColourBarLeft + 4,
                         kPlotTop + static_cast<int>(std::lround((1.0 - t) * rows - 0.5)));
  };
  const std::vector<double> starts = characterStarts(dir, "et.sigmf-meta");
  ASSERT_EQ(starts.size(), 3U);  // E, the space, T
  const double toneDb = 20.0 * std::log10(std::pow(10.0, -10.0 / 20.0) * 32700.0 / 32768.0);
  struct Element {
    double hz;
    double startSeconds;  // from the frame's start
    double steadySeconds;
  };
  const double dot = 5.0 + starts[0];
  const double dash = 5.0 + starts[2];
  for (const Element& e :
       {Element{1000.0, dot, dot + 0.5}, Element{1200.0, dash, dash + 0.5},
        Element{600.0, (dot + 1.1 + dash) / 2.0 - 0.5, (dot + 1.1 + dash) / 2.0}}) {
    SCOPED_TRACE(e.hz);
    const int steady = kPlotLeft + columnOf(e.steadySeconds);
    int brightest = 0;
    for (int r = 1; r < rows; ++r) {
      if (picture.green(steady, kPlotTop + r) > picture.green(steady, kPlotTop + brightest)) {
        brightest = r;
      }
    }
    // Within one resolution bin of its frequency.
    EXPECT_NEAR(brightest, rowOf(e.hz), 4.0 / rowHz);
    EXPECT_NEAR(picture.green(steady, kPlotTop + brightest), barGreen(toneDb), 8);
    if (e.hz != 600.0) {
      // The element starts where its row first reaches half its amplitude (-6 dB).
      const int row = kPlotTop + static_cast<int>(std::lround(rowOf(e.hz)));
      int first = kPlotLeft;
      while (picture.green(first, row) < barGreen(toneDb - 6.0)) {
        ++first;
      }
      EXPECT_NEAR(first - kPlotLeft, e.startSeconds / columnSeconds, 1.0);
    }
  }
  // Nothing was recorded before 14:00:05.
  EXPECT_EQ(picture.green(kPlotLeft + columnOf(4.0), kPlotTop + rows / 2), kNoRecordingGreen);
}

TEST(GrabTest, FramesAcrossABoundaryAreAlignedToUtcAndNamed) {
  const TempDir dir;
  render({"--symbol", "1", "--start", "2026-12-08T23:59:58Z", "-o", "e.sigmf-data", "TT"}, dir);
  const Finished done = run({"grab", "--symbol", "1", "--frame", "1m", "--prefix", "n0call",
                             "--output-dir", "out", "e.sigmf-data"},
                            (std::filesystem::create_directory(dir / "out"), dir.path()));
  ASSERT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(TempDir::entriesOf(dir / "out"),
            (std::vector<std::string>{"n0call-20261208T2359Z.png", "n0call-20261209T0000Z.png",
                                      "n0call-latest.png"}));
  EXPECT_EQ(slurp(dir / "out/n0call-latest.png"), slurp(dir / "out/n0call-20261209T0000Z.png"));
  const PngPicture before = readPng((dir / "out/n0call-20261208T2359Z.png").string());
  const PngPicture after = readPng((dir / "out/n0call-20261209T0000Z.png").string());
  ASSERT_GT(before.width, 0);
  ASSERT_GT(after.width, 0);
  const int middle = kPlotTop + (before.height - kPlotTop - kBelowPlot) / 2;
  // The recording fills the last 2 s of the first frame and the start of the second.
  EXPECT_EQ(before.green(kPlotLeft + kColumns - 50, middle), kNoRecordingGreen);
  EXPECT_NE(before.green(kPlotLeft + kColumns - 10, middle), kNoRecordingGreen);
  EXPECT_NE(after.green(kPlotLeft + 10, middle), kNoRecordingGreen);
  EXPECT_EQ(after.green(kPlotLeft + kColumns - 10, middle), kNoRecordingGreen);
  EXPECT_EQ(before.texts.at("Creation Time"), "2026-12-08 23:59:00Z");
}

TEST(GrabTest, WritesWhatWasReadAsDecodePrintsIt) {
  const TempDir dir;
  render({"--symbol", "0.2", "--snr", "-8", "--seed", "3", "-o", "v.wav", "VVV DE N0CALL"}, dir);
  const Finished decoded = run({"decode", "--symbol", "0.2", "v.wav"}, dir.path());
  ASSERT_EQ(decoded.status, 0) << decoded.err;
  const Finished done =
      run({"grab", "--symbol", "0.2", "--decode", "--start", "2026-12-08T14:00:00Z", "v.wav"},
          dir.path());
  ASSERT_EQ(done.status, 0) << done.err;
  const PngPicture picture = readPng((dir / "grab-latest.png").string());
  ASSERT_GT(picture.width, 0);
  ASSERT_TRUE(picture.texts.contains("Decoded"));
  EXPECT_EQ(picture.texts.at("Decoded") + "\n", decoded.out);
}

// A QRSS beacon read with grab's --mode, as decode reads it.
TEST(GrabTest, ReadsTheModeItIsTold) {
  const TempDir dir;
  const std::vector<std::string> keyed{"--mode", "qrss", "--freq", "900", "--symbol", "0.1"};
  render(with(keyed, {"--snr", "0", "--seed", "4", "-o", "q.wav", "TEST DE N0CALL"}), dir);
  const Finished done =
      run(with(with({"grab", "--decode"}, keyed), {"--start", "2026-12-08T14:00:00Z", "q.wav"}),
          dir.path());
  ASSERT_EQ(done.status, 0) << done.err;
  const PngPicture picture = readPng((dir / "grab-latest.png").string());
  ASSERT_TRUE(picture.texts.contains("Decoded"));
  EXPECT_EQ(picture.texts.at("Decoded"), "TEST DE N0CALL");
}

TEST(GrabTest, RefusesABandItCannotDrawAndWritesNothing) {
  const TempDir dir;
  render({"--symbol", "0.1", "-o", "e.wav", "E"}, dir);
  for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--low", "1000", "--high", "900"}, "must lie below its high edge"},
           {{"--high", "6000"}, "beyond half the sample rate (5512.5 Hz)"},
           {{"--frame", "7m"}, "does not divide a day"},
           {{"--range", "-20:-30"}, "LOW below HIGH"}}) {
    const Finished done =
        run(with(with({"grab"}, args), {"--start", "2026-12-08T14:00:00Z", "e.wav"}), dir.path());
    EXPECT_EQ(done.status, 2) << args.front();
    EXPECT_NE(done.err.find(says), std::string::npos) << done.err;
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"e.wav"});
}

TEST(GrabTest, RefusesWhatItIsToldAndFailsOnWhatItFinds) {
  const TempDir dir;
  render({"--symbol", "0.1", "-o", "e.wav", "E"}, dir);
  for (const auto& [args, status, says] :
       std::vector<std::tuple<std::vector<std::string>, int, std::string>>{
           {{"grab"}, 2, "give a recording, - for standard input, or --live"},
           {{"grab", "--prefix", "a/b", "e.wav"}, 2, "--prefix must be a name without /"},
           {{"grab", "--output-dir", "missing", "e.wav"},
            1,
            "--output-dir missing is not a directory"},
           {{"grab", "absent.wav"}, 1, "cannot read absent.wav"},
           {{"grab", "--freq", "900", "e.wav"}, 2, "--freq: not used with --mode three-tone"}}) {
    const Finished done = run(args, dir.path());
    EXPECT_EQ(done.status, status) << args.back();
    EXPECT_NE(done.err.find("bitoner grab: " + says), std::string::npos) << done.err;
  }
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"e.wav"});
}

}  // namespace
}  // namespace bitoner
