// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner render` of about 20 minutes of signal at a 60-second symbol, run as a user runs it,
// beside dd writing the same bytes to the same file system (as it is, and synced to the disk as
// render does), and sox synthesising a sine of the same number of frames into a WAV file on the
// same machine.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace bitoner {
namespace {

struct ChildRun {
  double seconds = 0.0;
  double cpuSeconds = 0.0;  // user and system: what the run costs whatever else the machine does
  double peakRssMiB = 0.0;
};

double secondsOf(const timeval& time) {
  constexpr double kMicrosecondsPerSecond = 1e6;
  return static_cast<double>(time.tv_sec) +
         static_cast<double>(time.tv_usec) / kMicrosecondsPerSecond;
}

// Runs a program with its output thrown away; wall time and the child's own peak memory.
ChildRun runChild(std::vector<std::string> argv) {
  std::vector<char*> pointers;
  for (std::string& arg : argv) {
    pointers.push_back(arg.data());
  }
  pointers.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!std::freopen("/dev/null", "w", stderr) || !std::freopen("/dev/null", "w", stdout)) {
      ::_exit(127);
    }
    ::execvp(pointers[0], pointers.data());
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " failed");
  }
  constexpr double kKiBPerMiB = 1024.0;
  return {elapsed.count(), secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime),
          static_cast<double>(usage.ru_maxrss) / kKiBPerMiB};
}

void BM_RenderTwentyMinutesVersusSox(benchmark::State& state) {
  const testing::TempDir dir;
  const std::string wav = (dir / "render.wav").string();
  const std::string soxWav = (dir / "sox.wav").string();
  // "TEST TEST" at 60 s a symbol: 22 symbols and 6 gaps, about 22 minutes.
  const std::vector<std::string> render{
      BITONER_EXECUTABLE, "render", "--symbol", "60", "-o", wav, "TEST", "TEST"};
  const std::string ddWav = (dir / "dd.wav").string();
  // On a shared machine single runs of 0.1 s scatter widely: each figure is the median of the
  // iterations, the three programs taking turns.
  std::vector<ChildRun> rendered;
  std::vector<ChildRun> copied;
  std::vector<ChildRun> copiedDurably;
  std::vector<ChildRun> synthesised;
  std::uintmax_t frames = 0;
  for (auto _ : state) {
    try {
      rendered.push_back(runChild(render));
      state.SetIterationTime(rendered.back().seconds);
      frames = (std::filesystem::file_size(wav) - 44) / 4;
      copied.push_back(runChild({"dd", "if=" + wav, "of=" + ddWav, "bs=4M"}));
      // Render syncs its file before putting it in place, so that a crash never leaves half a
      // recording under the name asked for; dd doing the same is the like-for-like figure.
      copiedDurably.push_back(runChild({"dd", "if=" + wav, "of=" + ddWav, "bs=4M", "conv=fsync"}));
      synthesised.push_back(
          runChild({"sox", "-n", "-r", "11025", "-c", "2", "-b", "16", "-e", "signed-integer",
                    soxWav, "synth", std::to_string(frames) + "s", "sine", "1000"}));
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return;
    }
  }
  const auto median = [](const std::vector<ChildRun>& runs, double ChildRun::*field) {
    std::vector<double> values;
    for (const ChildRun& run : runs) {
      values.push_back(run.*field);
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  const double renderSeconds = median(rendered, &ChildRun::seconds);
  const double ddSeconds = median(copied, &ChildRun::seconds);
  const double ddFsyncSeconds = median(copiedDurably, &ChildRun::seconds);
  const double soxSeconds = median(synthesised, &ChildRun::seconds);
  const double renderCpu = median(rendered, &ChildRun::cpuSeconds);
  const double soxCpu = median(synthesised, &ChildRun::cpuSeconds);
  state.counters["frames"] = static_cast<double>(frames);
  state.counters["signal_min"] = static_cast<double>(frames) / 11025.0 / 60.0;
  state.counters["render_s"] = renderSeconds;
  state.counters["frames_per_s"] = static_cast<double>(frames) / renderSeconds;
  state.counters["render_peak_rss_MiB"] = median(rendered, &ChildRun::peakRssMiB);
  state.counters["dd_s"] = ddSeconds;
  state.counters["times_dd"] = renderSeconds / ddSeconds;
  state.counters["dd_fsync_s"] = ddFsyncSeconds;
  state.counters["times_dd_fsync"] = renderSeconds / ddFsyncSeconds;
  state.counters["sox_s"] = soxSeconds;
  state.counters["sox_peak_rss_MiB"] = median(synthesised, &ChildRun::peakRssMiB);
  state.counters["times_faster_than_sox"] = soxSeconds / renderSeconds;
  state.counters["render_cpu_s"] = renderCpu;
  state.counters["sox_cpu_s"] = soxCpu;
  state.counters["cpu_times_less_than_sox"] = soxCpu / renderCpu;
}
BENCHMARK(BM_RenderTwentyMinutesVersusSox)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9);

// Smooth keying computes every frame afresh (one phase through all tones), where hard keying
// copies tones it keeps: both shapes rendered to standard output (thrown away), at the default
// rate and at 2.4 MS/s, the rate of an SDR transmitter.
void BM_RenderShape(benchmark::State& state) {
  const bool smooth = state.range(0) != 0;
  const std::int64_t rate = state.range(1);
  // "TEST TEST" at a 10 s symbol at 11025 Hz (about 220 s); "E" at a 1 s symbol at 2.4 MS/s.
  const bool sdr = rate > 192000;
  std::vector<std::string> render{BITONER_EXECUTABLE,
                                  "render",
                                  "--shape",
                                  smooth ? "smooth" : "hard",
                                  "--rate",
                                  std::to_string(rate),
                                  "--symbol",
                                  sdr ? "1" : "10",
                                  "-o",
                                  "-"};
  const std::vector<std::string> message =
      sdr ? std::vector<std::string>{"E"} : std::vector<std::string>{"TEST", "TEST"};
  render.insert(render.end(), message.begin(), message.end());
  // Frames: the symbols of the message, its gaps, and for smooth the final ramp.
  const double symbols = sdr ? 2.0 : 22.0;
  const double gaps = sdr ? 1.0 : 6.0;
  const double symbolSeconds = sdr ? 1.0 : 10.0;
  const double seconds = (symbols + gaps / 10.0 + (smooth ? 0.1 : 0.0)) * symbolSeconds;
  const double frames = seconds * static_cast<double>(rate);
  ChildRun rendered;
  for (auto _ : state) {
    try {
      rendered = runChild(render);
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return;
    }
    state.SetIterationTime(rendered.seconds);
  }
  state.counters["frames"] = frames;
  state.counters["frames_per_s"] = frames / rendered.seconds;
  state.counters["times_real_time"] = seconds / rendered.seconds;
  state.counters["cpu_s"] = rendered.cpuSeconds;
  // What a render costs whatever else the machine does.
  state.counters["frames_per_cpu_s"] = frames / rendered.cpuSeconds;
}
BENCHMARK(BM_RenderShape)
    ->ArgNames({"smooth", "rate"})
    ->Args({0, 11025})
    ->Args({1, 11025})
    ->Args({0, 2400000})
    ->Args({1, 2400000})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// `bitoner --version`: the start of the command line, which loads no toolkit.
void BM_VersionStart(benchmark::State& state) {
  ChildRun started;
  for (auto _ : state) {
    try {
      started = runChild({BITONER_EXECUTABLE, "--version"});
    } catch (const std::exception& error) {
      state.SkipWithError(error.what());
      return;
    }
    state.SetIterationTime(started.seconds);
  }
  state.counters["peak_rss_MiB"] = started.peakRssMiB;
}
BENCHMARK(BM_VersionStart)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace bitoner
