// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner beacon` run as a process against a private sound server: what reaches the sink must be
// the Loop's frames pass after pass with no silent frame, each pass on its wall-clock slot.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <regex>
#include <span>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/parameters.h"
#include "engine/smooth.h"
#include "engine/tones.h"
#include "support/child_process.h"
#include "support/pulse_daemon.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;
using Frames = std::vector<std::int16_t>;

constexpr double kRateHz = kSampleRateHz;

// The beacon as a child process whose standard error goes to a file.
testing::ChildProcess beacon(std::vector<std::string> arguments, const std::string& errorFile) {
  arguments.insert(arguments.begin(), {BITONER_EXECUTABLE, "beacon"});
  return testing::ChildProcess(std::move(arguments), {{}, {}, errorFile, {}});
}

// The tone files for the beacon's options, in the working directory, and the frames of them.
class BeaconTest : public ::testing::Test {
 protected:
  void makeTones(double symbolSeconds) {
    MakeTones(ToneInputs{600.0, 1000.0, 1200.0, kSampleRateHz, symbolSeconds, symbolSeconds / 10,
                         10340.65, false});
  }

  // Where `part` stands in `recording` at or after frame `from`, in frames; -1 if nowhere. A part
  // that begins the signal (the beacon having started just before its slot) may lack the first
  // few frames, as the recording of a stream's start may.
  static std::ptrdiff_t find(const Frames& recording, const Frames& part, std::size_t from) {
    const auto at = std::search(recording.begin() + static_cast<std::ptrdiff_t>(from * 2),
                                recording.end(), part.begin(), part.end());
    const std::ptrdiff_t index = at - recording.begin();
    if (at != recording.end() && index % 2 == 0) {
      return index / 2;
    }
    const std::ptrdiff_t start = testing::signalStart(recording);
    for (std::size_t missing = 1; missing <= testing::kMaxMissingFrames && start >= 0; ++missing) {
      const auto tail = part.begin() + static_cast<std::ptrdiff_t>(missing * 2);
      const auto begin = recording.begin() + start;
      if (start / 2 >= static_cast<std::ptrdiff_t>(std::max(from, missing)) &&
          recording.end() - begin >= part.end() - tail && std::equal(tail, part.end(), begin)) {
        return start / 2 - static_cast<std::ptrdiff_t>(missing);
      }
    }
    return -1;
  }

  std::string errors() const {
    std::ifstream in(dir_.path() / "stderr.txt");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string errorFile() const { return (dir_.path() / "stderr.txt").string(); }

  testing::TempWorkDir dir_;
  testing::PrivatePulse pulse_;
};

TEST_F(BeaconTest, ScheduledPassesAreTheLoopsFramesOnTheirSlotsWithoutAGap) {
  makeTones(0.04);
  const Frames pass = testing::framesOf({"Dot.wav", "InterSymb.wav", "Idle.wav", "Dash.wav",
                                         "InterSymb.wav", "Idle.wav", "Idle.wav"});
  const Frames idle = testing::framesOf({"Idle.wav"});

  testing::MonitorRecorder recorder(pulse_);
  // The steady clock is what the recorder stamps arrivals with; the schedule runs on the wall.
  const auto wallMinusSteady = std::chrono::system_clock::now().time_since_epoch() -
                               std::chrono::steady_clock::now().time_since_epoch();
  testing::ChildProcess process =
      beacon({"--symbol", "0.04", "--every", "2s", "--passes", "3", "ET"}, errorFile());
  ASSERT_EQ(process.wait(12s), 0) << errors();
  const Frames recording = recorder.stop();

  const std::ptrdiff_t first = testing::signalStart(recording) / 2;
  ASSERT_GE(first, 0);
  const std::size_t idleFrames = idle.size() / 2;
  auto start = static_cast<std::size_t>(first);
  for (int number = 1; number <= 3; ++number) {
    const std::ptrdiff_t at = find(recording, pass, start);
    ASSERT_GE(at, 0) << "pass " << number << " is not in the recording whole";
    const auto passStart = static_cast<std::size_t>(at);
    // Before the pass only the idle tone is heard: whole idle symbols and one cut short. The
    // recording may begin inside the first pass's wait, so that one is only checked for silence.
    for (std::size_t frame = start; frame < passStart; ++frame) {
      const std::size_t k = (frame - start) % idleFrames;
      if (number == 1) {
        ASSERT_FALSE(recording[frame * 2] == 0 && recording[frame * 2 + 1] == 0)
            << "silent frame " << frame;
      } else {
        ASSERT_EQ(recording[frame * 2], idle[k * 2]) << "frame " << frame;
        ASSERT_EQ(recording[frame * 2 + 1], idle[k * 2 + 1]) << "frame " << frame;
      }
    }
    const auto heard = recorder.arrivalTime(passStart) + wallMinusSteady;
    const double seconds = std::chrono::duration<double>(heard.time_since_epoch()).count();
    const double error = seconds - 2.0 * std::round(seconds / 2.0);
    EXPECT_LT(std::fabs(error), 0.05)
        << "pass " << number << " heard " << error * 1000 << " ms from its slot";
    start = passStart + pass.size() / 2;
  }
  EXPECT_NE(errors().find("pass 3: ET"), std::string::npos) << errors();
}

// Each mode reaches the sink as render writes it, its silences and shifts in place.
TEST_F(BeaconTest, EveryModeKeysThePassThatRenderWrites) {
  for (const std::vector<std::string>& mode : std::vector<std::vector<std::string>>{
           {"--mode", "dfcw"}, {"--mode", "qrss"}, {"--mode", "fskcw", "--shift", "20"}}) {
    SCOPED_TRACE(mode[1]);
    std::vector<std::string> keying = mode;
    keying.insert(keying.end(), {"--symbol", "0.04", "ET"});
    std::vector<std::string> render{BITONER_EXECUTABLE, "render", "-o", "-"};
    render.insert(render.end(), keying.begin(), keying.end());
    const auto rendered = dir_.path() / "pass.raw";
    ASSERT_EQ(testing::ChildProcess(render, {{}, rendered, errorFile(), {}}).wait(10s), 0)
        << errors();
    std::ifstream in(rendered, std::ios::binary);
    Frames pass(std::filesystem::file_size(rendered) / sizeof(std::int16_t));
    in.read(reinterpret_cast<char*>(pass.data()),
            static_cast<std::streamsize>(pass.size() * sizeof(std::int16_t)));

    testing::MonitorRecorder recorder(pulse_);
    // On a slot, so that the pass follows the idle wait and the stream's first frames, which the
    // recording may miss, are not the pass's.
    keying.insert(keying.begin(), {"--passes", "1", "--every", "1s"});
    ASSERT_EQ(beacon(keying, errorFile()).wait(20s), 0) << errors();
    EXPECT_GE(find(recorder.stop(), pass, 0), 0) << "the pass is not in the recording whole";
  }
}

// The wall clock stepped as a time service steps it (the steady clock left alone): back an hour and
// two seconds after the first pass, forward three months after the second. Each time the next
// pass takes the next slot of the new time.
TEST_F(BeaconTest, ClockStepsAreFollowedToTheNextSlotOfTheNewTime) {
  using std::chrono::system_clock;
  // The beacon's clock runs at an offset from the real one, which the test moves: it starts at
  // 18:01:57 and a few milliseconds, the real clock's second having just begun.
  std::this_thread::sleep_until(std::chrono::ceil<std::chrono::seconds>(system_clock::now()) +
                                20ms);
  const std::chrono::sys_days day = std::chrono::year(2026) / std::chrono::December / 8;
  const auto offset =
      std::chrono::round<std::chrono::seconds>(day + 18h + 1min + 57s - system_clock::now());
  const std::filesystem::path clock = dir_.path() / "faketime";
  auto setOffset = [&](std::chrono::seconds by) {
    std::ofstream(clock) << (by.count() >= 0 ? "+" : "") << by.count() << "\n";
  };
  setOffset(offset);
  const testing::ScopedEnv preload("LD_PRELOAD",
                                   "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1");
  const testing::ScopedEnv file("FAKETIME_TIMESTAMP_FILE", clock.string());
  const testing::ScopedEnv noCache("FAKETIME_NO_CACHE", "1");
  const testing::ScopedEnv steady("FAKETIME_DONT_FAKE_MONOTONIC", "1");
  testing::ChildProcess process =
      beacon({"--symbol", "0.05", "--every", "5s", "--passes", "3", "E"}, errorFile());
  // Pass 1 at 18:02:00, three seconds in; a second later the clock reads 17:01:59.
  std::this_thread::sleep_for(4s);
  setOffset(offset - 1h - 2s);
  // Pass 2 at 17:02:00; two seconds after it the clock reads 91 days later.
  std::this_thread::sleep_for(3s);
  setOffset(offset - 1h - 2s + std::chrono::days(91));
  ASSERT_EQ(process.wait(8s), 0) << errors();

  const std::string log = errors();
  EXPECT_NE(log.find("2026-12-08 18:02:00.000Z pass 1: E"), std::string::npos) << log;
  EXPECT_NE(log.find("the clock stepped back by 1 h 00 min 02 s"), std::string::npos) << log;
  EXPECT_NE(log.find("2026-12-08 17:02:00.000Z pass 2: E"), std::string::npos) << log;
  EXPECT_NE(log.find("the clock stepped forward by 91 d 0 h 00 min 00 s"), std::string::npos)
      << log;
  EXPECT_NE(log.find("2027-03-09 17:02:05.000Z pass 3: E"), std::string::npos) << log;
  EXPECT_EQ(log.find("ran past"), std::string::npos) << log;
}

// On a terminal the pattern grows as the pass is heard: each symbol and the line's end are written
// once the frames before them have reached the sink, not when they were queued, which with long
// tones is most of a second earlier.
TEST_F(BeaconTest, TheTerminalLineFollowsWhatHasBeenHeard) {
  makeTones(1.0);
  const Frames pass = testing::framesOf({"Dot.wav", "InterSymb.wav", "Idle.wav", "Idle.wav"});
  const std::size_t dot = testing::framesOf({"Dot.wav"}).size() / 2;
  const std::size_t gap = testing::framesOf({"InterSymb.wav"}).size() / 2;
  // The recorder hears the sink a little late, and its reads are stamped later still.
  const auto recorderDelay = static_cast<std::size_t>(0.15 * kRateHz);

  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_TRUE(terminal >= 0 && ::grantpt(terminal) == 0 && ::unlockpt(terminal) == 0);
  const std::string terminalName = ::ptsname(terminal);
  // Held open, so that the terminal stays readable before the beacon opens it and after it ends.
  const int held = ::open(terminalName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  std::string text;
  std::vector<std::chrono::steady_clock::time_point> writtenAt;  // a time for each byte of text
  const auto readTerminal = [&] {
    std::array<char, 256> buffer{};
    pollfd waiting{terminal, POLLIN, 0};
    for (ssize_t got = 0; ::poll(&waiting, 1, 0) > 0 &&
                          (got = ::read(terminal, buffer.data(), buffer.size())) > 0;) {
      text.append(buffer.data(), static_cast<std::size_t>(got));
      writtenAt.resize(text.size(), std::chrono::steady_clock::now());
    }
  };
  testing::MonitorRecorder recorder(pulse_);
  testing::ChildProcess process(
      {BITONER_EXECUTABLE, "beacon", "--symbol", "1", "--passes", "1", "E"},
      {{}, {}, terminalName, {}});
  int status = -1;
  for (const auto deadline = std::chrono::steady_clock::now() + 15s;
       status < 0 && std::chrono::steady_clock::now() < deadline;) {
    readTerminal();
    status = process.wait(1ms);
  }
  readTerminal();
  ::close(held);
  ::close(terminal);
  ASSERT_EQ(status, 0) << text;
  const Frames recording = recorder.stop();

  // The recording may lack the pass's first few frames.
  const Frames passTail(pass.begin() + testing::kMaxMissingFrames * 2, pass.end());
  const std::ptrdiff_t tailAt = find(recording, passTail, 0);
  ASSERT_GE(tailAt, 0) << "the pass is not in the recording";
  const auto passStart = static_cast<std::size_t>(tailAt) - testing::kMaxMissingFrames;
  // The symbols, in order, after the line that announces the pass, and the frame each follows.
  const std::size_t line = text.find("pass 1: E");
  ASSERT_NE(line, std::string::npos) << text;
  const std::size_t patternAt = text.find('\n', line) + 1;
  EXPECT_EQ(text.substr(patternAt), "  . \r\n");
  const std::vector<std::pair<char, std::size_t>> expected{
      {'.', dot}, {' ', dot + gap}, {'\n', pass.size() / 2}};
  std::size_t from = patternAt;
  for (const auto& [symbol, frames] : expected) {
    const std::size_t at = text.find(symbol, from);
    ASSERT_NE(at, std::string::npos) << text;
    const auto heard = recorder.arrivalTime(passStart + frames - recorderDelay);
    EXPECT_LE(heard, writtenAt[at])
        << (symbol == '\n' ? std::string("the line's end") : "'" + std::string(1, symbol) + "'")
        << " written " << std::chrono::duration<double, std::milli>(heard - writtenAt[at]).count()
        << " ms before its frames reached the sink";
    from = at + 1;
  }
}

TEST_F(BeaconTest, SigtermEndsTheRunAfterTheElementBeingSent) {
  makeTones(0.6);
  testing::MonitorRecorder recorder(pulse_);
  testing::ChildProcess process = beacon({"--symbol", "0.6", "T"}, errorFile());
  std::this_thread::sleep_for(300ms);  // inside the dash
  process.signal(SIGTERM);
  EXPECT_EQ(process.wait(3s), 0) << errors();
  const Frames recording = recorder.stop();
  const Frames element = testing::framesOf({"Dash.wav", "InterSymb.wav"});
  // The dash and its gap whole, then nothing: the first frames may be missing from the recording.
  const testing::SignalComparison result =
      testing::compareSignal(recording, element, testing::kMaxMissingFrames);
  EXPECT_TRUE(result.equal) << result.description;
}

TEST_F(BeaconTest, ARestartedSoundServerIsFoundAgainAndKeyedToWholePasses) {
  makeTones(0.04);
  testing::ChildProcess process = beacon({"--symbol", "0.04", "E"}, errorFile());
  std::this_thread::sleep_for(500ms);
  pulse_.restartDaemon();
  testing::MonitorRecorder recorder(pulse_);
  std::this_thread::sleep_for(4s);  // the beacon tries again every few seconds
  process.signal(SIGTERM);
  EXPECT_EQ(process.wait(3s), 0) << errors();
  const Frames recording = recorder.stop();

  EXPECT_NE(errors().find("sound server lost"), std::string::npos) << errors();
  EXPECT_NE(errors().find("sound server back"), std::string::npos) << errors();
  // Every line says when: "bitoner beacon: 2026-12-08 11:11:28.439Z ..."
  std::istringstream lines(errors());
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(std::regex_search(
        line, std::regex(R"(^bitoner beacon: \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z )")))
        << line;
  }
  // Back on the new server, it keys from the start of a pass: the first signal heard is a pass
  // (but for the few frames a recording may miss at its start).
  const Frames passes =
      testing::framesOf({"Dot.wav", "InterSymb.wav", "Idle.wav", "Idle.wav", "Dot.wav"});
  const std::ptrdiff_t start = testing::signalStart(recording);
  ASSERT_GE(start, 0) << "nothing was keyed on the new server";
  ASSERT_GE(recording.end() - (recording.begin() + start),
            static_cast<std::ptrdiff_t>(passes.size()));
  bool whole = false;
  for (std::size_t missing = 0; missing <= testing::kMaxMissingFrames && !whole; ++missing) {
    whole = std::equal(passes.begin() + static_cast<std::ptrdiff_t>(missing * 2), passes.end(),
                       recording.begin() + start);
  }
  EXPECT_TRUE(whole) << "the recording on the new server does not begin with a whole pass";
}

// An output device that is not there ends the beacon with a message naming it, not a retry for
// ever.
TEST_F(BeaconTest, AMissingDeviceIsNamedAndEndsTheBeacon) {
  const testing::ScopedEnv sink("PULSE_SINK", "nosuchsink");
  testing::ChildProcess process = beacon({"--symbol", "0.04", "E"}, errorFile());
  EXPECT_EQ(process.wait(10s), 1) << errors();
  EXPECT_NE(errors().find("\"nosuchsink\""), std::string::npos) << errors();
}

// A server running at 48000 Hz, as most desktops do, is given the beacon's samples at its own
// rate: they reach the sink unchanged, hard or smooth (ending on its ramp), and at a long symbol,
// where the beacon computes its tones as they are played and feeds the server in long requests.
TEST(BeaconRateTest, AtTheServersRateTheSamplesReachTheSinkUnchanged) {
  constexpr std::int32_t kRate = 48000;
  struct Case {
    bool smooth;
    double symbolSeconds;
    std::string message;
    std::vector<Tone> order;  // the pass, the idle symbol that ends it included
  };
  const std::vector<Tone> et{Tone::Dot, Tone::Gap,  Tone::Idle, Tone::Dash,
                             Tone::Gap, Tone::Idle, Tone::Idle};
  const std::vector<Case> cases{{false, 0.04, "ET", et},
                                {true, 0.04, "ET", et},
                                {false, 1.0, "E", {Tone::Dot, Tone::Gap, Tone::Idle, Tone::Idle}}};
  const testing::TempWorkDir dir;
  testing::PrivatePulse pulse(testing::serverKindFromEnvironment(), kRate);
  for (const Case& run : cases) {
    SCOPED_TRACE(std::string(run.smooth ? "smooth" : "hard") + " at " +
                 std::to_string(run.symbolSeconds) + " s");
    ToneInputs inputs{600.0,
                      1000.0,
                      1200.0,
                      kRate,
                      run.symbolSeconds,
                      run.symbolSeconds / 10,
                      kFullScale * std::pow(10.0, -10.0 / 20.0),
                      false};
    if (run.smooth) {
      inputs.smooth = SmoothShape{96, 192};  // the defaults: 5 % and 10 % of the symbol
    }
    const ToneBank tones(inputs);
    SmoothSynth synth(tones, inputs.smooth.value_or(SmoothShape{}));
    Frames expected;
    const auto add = [&](Tone tone, std::int64_t frames) {
      Frames part(static_cast<std::size_t>(frames) * 2);
      run.smooth ? synth.render(std::span<std::int16_t>(part))
                 : tones.read(tone, 0, std::span<std::int16_t>(part));
      expected.insert(expected.end(), part.begin(), part.end());
    };
    for (const Tone tone : run.order) {
      synth.begin(tone);
      add(tone, tones.frames(tone));
    }
    if (run.smooth) {
      add(Tone::Idle, synth.rampOut());
    }
    testing::MonitorRecorder recorder(pulse);
    const std::string errorFile = (dir.path() / "stderr.txt").string();
    testing::ChildProcess process =
        beacon({"--rate", "48000", "--shape", run.smooth ? "smooth" : "hard", "--symbol",
                std::to_string(run.symbolSeconds), "--passes", "1", run.message},
               errorFile);
    ASSERT_EQ(process.wait(15s), 0);
    const testing::SignalComparison result =
        testing::compareSignal(recorder.stop(), expected, kRate / 100);
    EXPECT_TRUE(result.equal) << result.description;
  }
}

// `bitoner tune` sends one tone with one phase until Ctrl-C, then falls silent on its ramp.
TEST(TuneTest, OneSteadyToneUntilInterruptedEndingOnItsRamp) {
  constexpr std::int32_t kRate = 48000;
  const testing::TempWorkDir dir;
  testing::PrivatePulse pulse(testing::serverKindFromEnvironment(), kRate);
  testing::MonitorRecorder recorder(pulse);
  const std::string errorFile = (dir.path() / "stderr.txt").string();
  testing::ChildProcess process({BITONER_EXECUTABLE, "tune", "--rate", "48000", "--freq", "1500"},
                                {{}, {}, errorFile, {}});
  std::this_thread::sleep_for(700ms);
  process.signal(SIGINT);
  ASSERT_EQ(process.wait(5s), 0);
  const Frames recording = recorder.stop();

  // The tone is the idle tone of a smooth run at 1500 Hz, played over and over.
  const ToneBank tones(ToneInputs{1500.0, 1000.0, 1200.0, kRate, 0.5, 0.05,
                                  kFullScale * std::pow(10.0, -10.0 / 20.0), false, 0.0,
                                  SmoothShape{0, kRate / 10}});
  const std::ptrdiff_t start = testing::signalStart(recording);
  ASSERT_GE(start, 0);
  std::size_t end = recording.size();
  while (end > 0 && recording[end - 1] == 0) {
    --end;
  }
  const auto heard = static_cast<std::int64_t>((end + 1) / 2) - start / 2;
  const std::int64_t plays = heard / tones.frames(Tone::Idle);
  ASSERT_GE(plays, 1);
  SmoothSynth synth(tones, *tones.smooth());
  Frames expected;
  const auto add = [&](std::int64_t frames) {
    Frames part(static_cast<std::size_t>(frames) * 2);
    synth.render(std::span<std::int16_t>(part));
    expected.insert(expected.end(), part.begin(), part.end());
  };
  for (std::int64_t k = 0; k < plays; ++k) {
    add(synth.begin(Tone::Idle));
  }
  add(synth.rampOut());
  const testing::SignalComparison result = testing::compareSignal(recording, expected, kRate / 100);
  EXPECT_TRUE(result.equal) << result.description;
}

}  // namespace
}  // namespace bitoner
