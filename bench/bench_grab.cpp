// SPDX-License-Identifier: GPL-3.0-or-later
// The grabber's cost: one 10-minute frame of 11025 Hz I/Q drawn on one core, and `bitoner grab
// --live` at its defaults recording a private sound server, as a grabbing station runs it
// (BITONER_BENCH_GRAB_SECONDS long, 120 by default).

#include <benchmark/benchmark.h>
#include <signal.h>

#include <chrono>
#include <complex>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "grab/grabber.h"
#include "process_figures.h"
#include "support/child_process.h"
#include "support/process_cpu.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

constexpr double kRateHz = 11025.0;
constexpr double kFrameSeconds = 600.0;
constexpr double kDefaultLiveSeconds = 120.0;

// Ten minutes of noise with a tone at 1000 Hz in it.
std::vector<std::complex<float>> tenMinutes() {
  std::mt19937 random(1);
  std::normal_distribution<float> noise(0.0F, 0.05F);
  std::vector<std::complex<float>> samples(static_cast<std::size_t>(kRateHz * kFrameSeconds));
  for (std::size_t n = 0; n < samples.size(); ++n) {
    const double phase = 2.0 * 3.141592653589793 * 1000.0 * static_cast<double>(n) / kRateHz;
    samples[n] = std::complex<float>(static_cast<float>(0.01 * std::cos(phase)) + noise(random),
                                     static_cast<float>(0.01 * std::sin(phase)) + noise(random));
  }
  return samples;
}

void BM_GrabTenMinuteFrame(benchmark::State& state) {
  const std::vector<std::complex<float>> samples = tenMinutes();
  grab::GrabSettings settings;  // the defaults: 510 to 1290 Hz, 0.5 s symbols
  settings.span.sampleRateHz = kRateHz;
  settings.span.lowHz = 510.0;
  settings.span.highHz = 1290.0;
  settings.span.resolutionHz = 2.0 / 3.0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    grab::Grabber grabber(
        settings, [&](const std::string&, std::span<const std::byte> png) { bytes = png.size(); });
    grabber.start(*grab::parseUtc("2026-12-08T14:00:00Z"));
    constexpr std::size_t kPiece = 65536;
    for (std::size_t at = 0; at < samples.size(); at += kPiece) {
      grabber.feed(std::span(samples).subspan(at, std::min(kPiece, samples.size() - at)));
    }
    grabber.finish();
  }
  state.counters["png_kB"] = static_cast<double>(bytes) / 1000.0;
}
BENCHMARK(BM_GrabTenMinuteFrame)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_GrabLiveCpu(benchmark::State& state) {
  const double seconds =
      bench::secondsFromEnvironment("BITONER_BENCH_GRAB_SECONDS", kDefaultLiveSeconds);
  for (auto _ : state) {
    const testing::TempDir dir;
    const testing::PrivatePulse pulse;
    testing::ChildProcess grab(
        {BITONER_EXECUTABLE, "grab", "--live", "--device", "bitoner_test_sink.monitor"},
        {dir.path(), {}, dir / "err.txt", {}});
    std::this_thread::sleep_for(2s);
    const double cpuStart = testing::cpuSeconds(grab.pid());
    const auto wallStart = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double cpu = testing::cpuSeconds(grab.pid()) - cpuStart;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    grab.signal(SIGINT);
    grab.wait(10s);
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["seconds"] = wall;
  }
}
BENCHMARK(BM_GrabLiveCpu)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace bitoner
