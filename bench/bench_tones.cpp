// SPDX-License-Identifier: GPL-3.0-or-later
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cmath>
#include <cstdlib>

#include "engine/parameters.h"
#include "engine/tones.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

double peakRssKiB() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss);  // Linux reports KiB
}

void runMakeTones(benchmark::State& state, double symbolLengthS) {
  const testing::TempDir dir;  // removed when the benchmark ends
  ToneInputs inputs;
  inputs.idleHz = 600.0;
  inputs.dotHz = 1000.0;
  inputs.dashHz = 1200.0;
  inputs.Fsample = kSampleRateHz;
  inputs.SymbolLength = symbolLengthS;
  inputs.InterSymbol = 10.0 / 100.0 * symbolLengthS;
  inputs.Ampl = kFullScale * std::pow(10.0, -10.0 / 20.0);

  double framesPerCall = 0.0;
  for (const TonePlan& plan : planTones(inputs)) {
    framesPerCall += plan.frames;
  }
  for (auto _ : state) {
    MakeTones(inputs, dir.path());
  }
  state.counters["frames"] = framesPerCall;
  state.counters["frames_per_s"] =
      benchmark::Counter(framesPerCall, benchmark::Counter::kIsIterationInvariantRate);
  state.counters["bytes_per_s"] = benchmark::Counter(framesPerCall * 4.0 + 4 * 44.0,
                                                     benchmark::Counter::kIsIterationInvariantRate);
  state.counters["peak_rss_KiB"] = peakRssKiB();
}

// Rates are per wall-clock second: writing the files is part of the cost.

// The four files at the defaults: 17087 frames.
void BM_MakeTonesDefaults(benchmark::State& state) { runMakeTones(state, 0.5); }
BENCHMARK(BM_MakeTonesDefaults)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 100-second symbol: three files of 1102500 frames and a 10-second gap.
void BM_MakeTonesHundredSecondSymbol(benchmark::State& state) { runMakeTones(state, 100.0); }
BENCHMARK(BM_MakeTonesHundredSecondSymbol)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace bitoner
