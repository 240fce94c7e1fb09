// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner grab --live` run as a process against a private sound server, drawing what
// `bitoner beacon` keys into its sink, on a clock that crosses a frame boundary within seconds.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/png_file.h"
#include "support/pulse_daemon.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

// The greenest pixel of the row showing `hz` at the default band (510 to 1290 Hz), over the
// frame's first 200 columns.
int brightestAt(const testing::PngPicture& frame, double hz) {
  const int rows = frame.height - 30 - 44;
  const int row = 30 + static_cast<int>((1290.0 - hz) / 780.0 * rows);
  int brightest = 0;
  for (int x = 100; x < 100 + 200; ++x) {
    brightest = std::max(brightest, frame.green(x, row));
  }
  return brightest;
}

TEST(LiveGrabTest, DrawsFramesAcrossAMinuteAndReplacesTheLatestWhole) {
  const testing::TempDir dir;
  const testing::PrivatePulse pulse;
  const testing::ScopedEnv utc("TZ", "UTC");
  // The grabber's clock starts three seconds before 14:00 and runs on.
  testing::ChildProcess grab({BITONER_FAKETIME, "-m", "--exclude-monotonic", "2026-12-08 13:59:57",
                              BITONER_EXECUTABLE, "grab", "--live", "--device",
                              "bitoner_test_sink.monitor", "--frame", "1m", "--update", "1s"},
                             {dir.path(), dir / "out.txt", dir / "err.txt", {}});
  testing::ChildProcess beacon(
      {BITONER_EXECUTABLE, "beacon", "--quiet", "--symbol", "0.2", "--passes", "1", "EEEEEEEEEE"},
      {dir.path(), {}, dir / "beacon.txt", {}});
  // Every look at the latest picture, as a web server publishing it would take, finds it whole.
  // How many looks there are depends on the machine's load; what matters is that the looks
  // straddle replacements of the picture.
  std::set<std::filesystem::file_time_type> versions;
  const auto until = std::chrono::steady_clock::now() + 7s;
  while (std::chrono::steady_clock::now() < until) {
    std::error_code error;
    const auto written = std::filesystem::last_write_time(dir / "grab-latest.png", error);
    if (!error) {
      EXPECT_GT(testing::readPng((dir / "grab-latest.png").string()).width, 0);
      versions.insert(written);
    }
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GE(versions.size(), 3u);
  ASSERT_EQ(beacon.wait(20s), 0) << testing::fileText(dir / "beacon.txt");
  grab.signal(SIGINT);
  EXPECT_EQ(grab.wait(10s), 128 + SIGINT) << testing::fileText(dir / "err.txt");
  const std::vector<std::string> names = dir.entries();
  for (const char* name : {"grab-20261208T1359Z.png", "grab-20261208T1400Z.png"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), name), names.end())
        << name << " missing; " << testing::fileText(dir / "err.txt");
  }
  // The dot's tone shows in the new frame: its row outshines one between the tones.
  const testing::PngPicture frame = testing::readPng((dir / "grab-20261208T1400Z.png").string());
  ASSERT_GT(frame.width, 0);
  EXPECT_GT(brightestAt(frame, 1000.0), brightestAt(frame, 800.0) + 60);
}

TEST(LiveGrabTest, ASoundServerRestartIsSaidAndTheFrameGoesOnAfterTheGap) {
  const testing::TempDir dir;
  testing::PrivatePulse pulse;
  const testing::ScopedEnv utc("TZ", "UTC");
  testing::ChildProcess grab(
      {BITONER_FAKETIME, "-m", "--exclude-monotonic", "2026-12-08 14:00:02", BITONER_EXECUTABLE,
       "grab", "--live", "--device", "bitoner_test_sink.monitor", "--update", "1s"},
      {dir.path(), dir / "out.txt", dir / "err.txt", {}});
  const auto key = [&](const char* message) {
    testing::ChildProcess beacon(
        {BITONER_EXECUTABLE, "beacon", "--quiet", "--symbol", "0.2", "--passes", "1", message},
        {dir.path(), {}, dir / "beacon.txt", {}});
    return beacon.wait(20s);
  };
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(key("EEEE"), 0) << testing::fileText(dir / "beacon.txt");  // dots only
  pulse.restartDaemon();
  ASSERT_TRUE(testing::waitForText(dir / "err.txt", "sound server back; grabbing again", 15s))
      << testing::fileText(dir / "err.txt");
  EXPECT_NE(testing::fileText(dir / "err.txt").find("trying again every 2 s"), std::string::npos)
      << testing::fileText(dir / "err.txt");
  ASSERT_EQ(key("TTTT"), 0) << testing::fileText(dir / "beacon.txt");  // dashes only
  std::this_thread::sleep_for(1s);
  grab.signal(SIGINT);
  EXPECT_EQ(grab.wait(10s), 128 + SIGINT) << testing::fileText(dir / "err.txt");
  // One frame holds both: the dots from before the restart and the dashes after it.
  EXPECT_EQ(dir.entries(),
            (std::vector<std::string>{"beacon.txt", "err.txt", "grab-20261208T1400Z.png",
                                      "grab-latest.png", "out.txt"}));
  const testing::PngPicture frame = testing::readPng((dir / "grab-20261208T1400Z.png").string());
  ASSERT_GT(frame.width, 0);
  EXPECT_GT(brightestAt(frame, 1000.0), brightestAt(frame, 800.0) + 60);
  EXPECT_GT(brightestAt(frame, 1200.0), brightestAt(frame, 800.0) + 60);
}

}  // namespace
}  // namespace bitoner
