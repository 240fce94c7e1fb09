// SPDX-License-Identifier: GPL-3.0-or-later
// Keying into a private sound server, recorded at the sink: does the signal ever break, does it
// drift from the played files, what does it cost. BITONER_BENCH_KEYING_SECONDS sets the length of
// the Loop run (60 by default; a few seconds make a quick check).

#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/run_plan.h"
#include "engine/tones.h"
#include "keying/run_controller.h"
#include "sound/pulse_player.h"
#include "support/plain_boxes.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kDefaultRunSeconds = 60.0;
constexpr const char* kSymbolLengthText = "0.02";  // seconds
constexpr std::u32string_view kLoopMessage = U"PARIS ";
constexpr double kPartsPerMillion = 1e6;
constexpr double kSecondsPerMinute = 60.0;
constexpr double kMillisecondsPerSecond = 1e3;
constexpr double kMicrosecondsPerMillisecond = 1e3;
constexpr std::size_t kReadFrames = 128;  // the recorder's read size
constexpr auto kRecorderBaseline = std::chrono::seconds(3);
constexpr auto kQueueFillTime = std::chrono::seconds(1);

double runSeconds() {
  const char* text = std::getenv("BITONER_BENCH_KEYING_SECONDS");
  const double seconds = text != nullptr ? std::strtod(text, nullptr) : kDefaultRunSeconds;
  return seconds > 0.0 ? seconds : kDefaultRunSeconds;
}

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Passes every play on to the player and notes what was played, how long each call took and how
// much was left queued when it returned.
class LoggingSound : public SoundService {
 public:
  explicit LoggingSound(PulsePlayer& player) : player_(player) {}

  void open(std::shared_ptr<const ToneBank> tones) override { player_.open(std::move(tones)); }
  void play(Tone tone) override {
    const Clock::time_point start = Clock::now();
    if (played_.empty()) {
      firstPlay_ = start;
    } else {
      // How close the signal came to running dry: what was left when the next play began, once
      // the queue has had time to fill (at first it holds no more than the plays so far).
      if (const std::optional<std::uint64_t> left = player_.queuedMicroseconds();
          left && start - firstPlay_ >= kQueueFillTime) {
        minLeftUs_ = std::min(minLeftUs_, *left);
      }
      maxBetweenSeconds_ =
          std::max(maxBetweenSeconds_, std::chrono::duration<double>(start - lastReturn_).count());
    }
    player_.play(tone);
    playSeconds_ += std::chrono::duration<double>(Clock::now() - start).count();
    if (const std::optional<std::uint64_t> queued = player_.queuedMicroseconds()) {
      maxQueuedUs_ = std::max(maxQueuedUs_, *queued);
      queuedSumUs_ += static_cast<double>(*queued);
      ++queuedSamples_;
    }
    played_.emplace_back(toneFileName(tone));
    lastReturn_ = Clock::now();
  }
  void drain() override { player_.drain(); }

  // The played files' frames in play order.
  std::vector<std::int16_t> playedFrames() const { return testing::framesOf(played_); }

  std::size_t plays() const { return played_.size(); }
  double playSeconds() const { return playSeconds_; }
  std::uint64_t maxQueuedUs() const { return maxQueuedUs_; }
  std::uint64_t minLeftUs() const { return minLeftUs_; }
  double maxBetweenSeconds() const { return maxBetweenSeconds_; }
  double meanQueuedUs() const {
    return queuedSamples_ == 0 ? 0.0 : queuedSumUs_ / static_cast<double>(queuedSamples_);
  }

 private:
  PulsePlayer& player_;
  std::vector<std::string> played_;
  double playSeconds_ = 0.0;
  std::uint64_t maxQueuedUs_ = 0;
  double queuedSumUs_ = 0.0;
  std::size_t queuedSamples_ = 0;
  std::uint64_t minLeftUs_ = UINT64_MAX;
  double maxBetweenSeconds_ = 0.0;
  Clock::time_point lastReturn_;
  Clock::time_point firstPlay_;
};

// The longest wait between two reads of the monitor: how unevenly the sink consumed the stream.
double maxReadIntervalMs(const testing::MonitorRecorder& recorder, std::size_t frames) {
  double longest = 0.0;
  for (std::size_t frame = kReadFrames; frame < frames; frame += kReadFrames) {
    longest = std::max(longest,
                       std::chrono::duration<double, std::milli>(
                           recorder.arrivalTime(frame) - recorder.arrivalTime(frame - kReadFrames))
                           .count());
  }
  return longest;
}

// Runs of silent frames between the first and the last frame that is not silent.
std::size_t silentRuns(const std::vector<std::int16_t>& recording) {
  std::size_t runs = 0;
  bool signalSeen = false;
  bool inRun = false;
  for (std::size_t i = 0; i + 1 < recording.size(); i += 2) {
    const bool silent = recording[i] == 0 && recording[i + 1] == 0;
    if (!silent) {
      runs += (signalSeen && inRun) ? 1U : 0U;
      signalSeen = true;
    }
    inRun = silent;
  }
  return runs;
}

// Processes that only spin at normal priority, as other busy programs on the machine would be.
class BusyProcesses {
 public:
  explicit BusyProcesses(std::int64_t count) {
    for (std::int64_t i = 0; i < count; ++i) {
      const pid_t pid = ::fork();
      if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        volatile unsigned long spins = 0;
        for (;;) {
          spins = spins + 1;
        }
      }
      if (pid > 0) {
        pids_.push_back(pid);
      }
    }
  }
  ~BusyProcesses() {
    for (const pid_t pid : pids_) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }
  BusyProcesses(const BusyProcesses&) = delete;
  BusyProcesses& operator=(const BusyProcesses&) = delete;

 private:
  std::vector<pid_t> pids_;
};

// A Loop run of "PARIS " at 20 ms symbols, stopped after the configured time like the operator
// would, recorded at the sink and compared frame by frame with what was played: on PulseAudio or
// PipeWire, with the machine as it is or with two CPU-bound processes beside the run.
void BM_LoopRunRecorded(benchmark::State& state) {
  const double seconds = runSeconds();
  const auto kind =
      state.range(0) != 0 ? testing::ServerKind::PipeWire : testing::ServerKind::PulseAudio;
  for (auto _ : state) {
    const testing::TempWorkDir dir;
    testing::PrivatePulse pulse(kind);
    const BusyProcesses busy(state.range(1));

    // What recording alone costs this process, to take it out of the keying's share.
    double recorderCpuPerSecond = 0.0;
    {
      testing::MonitorRecorder idle(pulse);
      const double before = cpuSeconds();
      std::this_thread::sleep_for(kRecorderBaseline);
      recorderCpuPerSecond =
          (cpuSeconds() - before) / std::chrono::duration<double>(kRecorderBaseline).count();
      idle.stop();
    }

    testing::PlainBoxes boxes;
    boxes.writeBox(Box::SymbLen, kSymbolLengthText);
    const RunPlan plan = std::get<RunPlan>(prepareRun(boxes.texts, kLoopMessage, false));
    PulsePlayer player;
    LoggingSound sound(player);
    std::optional<RunEnd> end;
    RunController run(sound, [&run, &end] {
      if (const RunProgress progress = run.takeProgress(); progress.end) {
        end = progress.end;
      }
    });

    testing::MonitorRecorder recorder(pulse);
    const double cpuBefore = cpuSeconds();
    const Clock::time_point go = Clock::now();
    run.start(RunRequest{
        .tones = plan.tones, .message = plan.message, .loop = true, .toneDirectory = "."});
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    run.stop();
    run.waitForEnd();
    const double keyedSeconds = std::chrono::duration<double>(Clock::now() - go).count();
    const double cpuUsed = cpuSeconds() - cpuBefore;
    const std::vector<std::int16_t> recording = recorder.stop();

    const std::vector<std::int16_t> expected = sound.playedFrames();
    const testing::SignalComparison result =
        testing::compareSignal(recording, expected, testing::kMaxMissingFrames);
    const double playedFrames = static_cast<double>(expected.size() / 2);
    const double recordedFrames =
        static_cast<double>(result.recordedFrames + result.missingAtStart);
    const std::ptrdiff_t start = testing::signalStart(recording);
    const double firstFrameMs =
        start < 0 ? -1.0
                  : std::chrono::duration<double, std::milli>(
                        recorder.arrivalTime(static_cast<std::size_t>(start / 2)) - go)
                        .count();
    const double keyingCpu = cpuUsed - recorderCpuPerSecond * keyedSeconds;

    if (end && !end->detail.empty()) {
      state.SkipWithError(end->detail.c_str());
    } else if (!result.equal) {
      state.SetLabel("recording differs: " + result.description);
    }
    state.counters["keyed_s"] = keyedSeconds;
    state.counters["plays"] = static_cast<double>(sound.plays());
    state.counters["bit_exact"] = result.equal ? 1.0 : 0.0;
    state.counters["silent_frames_inside"] = static_cast<double>(result.silentInside);
    state.counters["gaps"] = static_cast<double>(silentRuns(recording));
    state.counters["missing_at_start"] = static_cast<double>(result.missingAtStart);
    state.counters["drift_ppm"] = (recordedFrames - playedFrames) / playedFrames * kPartsPerMillion;
    state.counters["go_to_first_frame_ms"] = firstFrameMs;
    state.counters["cpu_s_per_min"] = keyingCpu / keyedSeconds * kSecondsPerMinute;
    state.counters["cpu_s_per_min_with_recorder"] = cpuUsed / keyedSeconds * kSecondsPerMinute;
    state.counters["cpu_us_per_play"] = keyingCpu / static_cast<double>(sound.plays()) *
                                        kMillisecondsPerSecond * kMicrosecondsPerMillisecond;
    state.counters["queued_after_play_ms_max"] =
        static_cast<double>(sound.maxQueuedUs()) / kMicrosecondsPerMillisecond;
    state.counters["queued_after_play_ms_mean"] =
        sound.meanQueuedUs() / kMicrosecondsPerMillisecond;
    state.counters["queued_at_next_play_ms_min"] =
        static_cast<double>(sound.minLeftUs()) / kMicrosecondsPerMillisecond;
    state.counters["monitor_read_interval_ms_max"] =
        maxReadIntervalMs(recorder, recording.size() / 2);
    state.counters["between_plays_ms_max"] = sound.maxBetweenSeconds() * kMillisecondsPerSecond;
  }
}
BENCHMARK(BM_LoopRunRecorded)
    ->ArgNames({"pipewire", "busy"})
    ->ArgsProduct({{0, 1}, {0, 2}})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// What a play costs apart from the sound itself: the tones hold no frames, so nothing waits for
// the server.
void BM_PlayOverhead(benchmark::State& state) {
  const testing::PrivatePulse pulse;
  PulsePlayer player;
  player.open(std::make_shared<const ToneBank>(ToneInputs{.idleHz = 600.0,
                                                          .dotHz = 1000.0,
                                                          .dashHz = 1200.0,
                                                          .Fsample = kSampleRateHz,
                                                          .SymbolLength = 0.0,
                                                          .InterSymbol = 0.0,
                                                          .Ampl = 0.0,
                                                          .invert = false}));
  for (auto _ : state) {
    player.play(Tone::Dot);
  }
}
BENCHMARK(BM_PlayOverhead)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace bitoner
