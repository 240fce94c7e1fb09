// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner decode --live` run as a process against a private sound server, reading what
// `bitoner beacon` keys into its sink through the sink's monitor.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

// A beacon keys each of `messages` once in `mode` into the sink, two seconds apart: `decoder`
// prints them as it goes, and after SIGINT a line each and nothing more.
void expectBeaconRead(const testing::TempDir& dir, testing::ChildProcess& decoder,
                      const std::string& mode, const std::vector<std::string>& messages) {
  std::string lines;
  for (const std::string& message : messages) {
    testing::ChildProcess beacon({BITONER_EXECUTABLE, "beacon", "--quiet", "--symbol", "0.05",
                                  "--mode", mode, "--passes", "1", message},
                                 {dir.path(), {}, dir / "beacon.txt", {}});
    ASSERT_EQ(beacon.wait(20s), 0) << testing::fileText(dir / "beacon.txt");
    std::this_thread::sleep_for(2s);
    lines += message + "\n";
  }
  // Decided as it goes, before the decoder is stopped.
  EXPECT_TRUE(testing::waitForText(dir / "out.txt", lines.substr(0, lines.size() - 4), 15s))
      << testing::fileText(dir / "out.txt") << testing::fileText(dir / "err.txt");
  decoder.signal(SIGINT);
  EXPECT_EQ(decoder.wait(10s), 128 + SIGINT) << testing::fileText(dir / "err.txt");
  EXPECT_EQ(testing::fileText(dir / "out.txt"), lines) << testing::fileText(dir / "err.txt");
}

// In three-tone and in QRSS, whose characters last longer and whose pauses are silence: two
// transmissions, a line each.
TEST(LiveDecodeTest, PrintsWhatTheSinkPlaysALineATransmissionAndTheRestWhenStopped) {
  for (const std::string mode : {"three-tone", "qrss"}) {
    SCOPED_TRACE(mode);
    const testing::TempDir dir;
    const testing::PrivatePulse pulse;
    testing::ChildProcess decoder({BITONER_EXECUTABLE, "decode", "--live", "--device",
                                   "bitoner_test_sink.monitor", "--symbol", "0.05", "--mode", mode},
                                  {dir.path(), dir / "out.txt", dir / "err.txt", {}});
    std::this_thread::sleep_for(1s);  // recording before the signal starts
    expectBeaconRead(dir, decoder, mode, {"CQ DE TEST", "TEST"});
  }
}

TEST(LiveDecodeTest, ASoundServerRestartIsSaidAndDecodingGoesOn) {
  const testing::TempDir dir;
  testing::PrivatePulse pulse;
  testing::ChildProcess decoder({BITONER_EXECUTABLE, "decode", "--live", "--device",
                                 "bitoner_test_sink.monitor", "--symbol", "0.05"},
                                {dir.path(), dir / "out.txt", dir / "err.txt", {}});
  std::this_thread::sleep_for(1s);
  pulse.restartDaemon();
  ASSERT_TRUE(testing::waitForText(dir / "err.txt", "sound server back; decoding again", 15s))
      << testing::fileText(dir / "err.txt");
  EXPECT_NE(testing::fileText(dir / "err.txt").find("trying again every 2 s"), std::string::npos)
      << testing::fileText(dir / "err.txt");
  expectBeaconRead(dir, decoder, "three-tone", {"CQ DE TEST"});
}

TEST(LiveDecodeTest, AMissingSourceIsReported) {
  const testing::TempDir dir;
  const testing::PrivatePulse pulse;
  testing::ChildProcess decoder({BITONER_EXECUTABLE, "decode", "--live", "--device", "nowhere"},
                                {dir.path(), dir / "out.txt", dir / "err.txt", {}});
  EXPECT_EQ(decoder.wait(10s), 1);
  EXPECT_NE(testing::fileText(dir / "err.txt").find("cannot record \"nowhere\""), std::string::npos)
      << testing::fileText(dir / "err.txt");
  EXPECT_EQ(testing::fileText(dir / "out.txt"), "");
}

}  // namespace
}  // namespace bitoner
