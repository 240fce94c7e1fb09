// SPDX-License-Identifier: GPL-3.0-or-later
// `bitoner beacon` as an operator runs it, into a private sound server, recorded at the sink: does
// the signal ever break, does each pass start on its slot, what does it cost to run for hours.
// BITONER_BENCH_BEACON_SECONDS sets the length of the run (600 by default). A second benchmark
// runs a beacon at a 3-second symbol beside pacat playing the same signal with a 200 ms buffer
// into the same server at the same time: what each costs and how often each wakes
// (BITONER_BENCH_LONG_SYMBOL_SECONDS, 60 by default).

#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/parameters.h"
#include "engine/tones.h"
#include "process_figures.h"
#include "support/child_process.h"
#include "support/process_cpu.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;
using bench::secondsFromEnvironment;
using bench::statusField;
using bench::threadStatus;

constexpr double kDefaultRunSeconds = 600.0;
constexpr double kPeriodSeconds = 10.0;
constexpr double kSymbolSeconds = 0.02;
constexpr double kSecondsPerHour = 3600.0;

double runSeconds() {
  return secondsFromEnvironment("BITONER_BENCH_BEACON_SECONDS", kDefaultRunSeconds);
}

// CPU seconds of all the process's threads, to the nanosecond (the scheduler's own account).
double schedSeconds(pid_t pid) {
  constexpr double kNanosecondsPerSecond = 1e9;
  double total = 0.0;
  for (const auto& status : threadStatus(pid)) {
    std::ifstream in(status.parent_path() / "schedstat");
    double nanoseconds = 0.0;
    in >> nanoseconds;
    total += nanoseconds / kNanosecondsPerSecond;
  }
  return total;
}

long contextSwitches(pid_t pid) {
  const auto paths = threadStatus(pid);
  return statusField(paths, "voluntary_ctxt_switches") +
         statusField(paths, "nonvoluntary_ctxt_switches");
}

void BM_BeaconRecorded(benchmark::State& state) {
  for (auto _ : state) {
    const testing::TempWorkDir dir;
    const testing::PrivatePulse pulse;
    MakeTones(ToneInputs{600.0, 1000.0, 1200.0, kSampleRateHz, kSymbolSeconds, kSymbolSeconds / 10,
                         10340.65, false});
    const std::vector<std::int16_t> pass = testing::framesOf(testing::playOrder(U"PARIS "));
    testing::MonitorRecorder recorder(pulse);
    testing::ChildProcess beacon(
        {BITONER_EXECUTABLE, "beacon", "--symbol", "0.02", "--every", "10s", "--quiet", "PARIS "},
        {{}, {}, dir.path() / "stderr.txt", {}});
    std::this_thread::sleep_for(2s);
    const long rssStartKb =
        statusField({"/proc/" + std::to_string(beacon.pid()) + "/status"}, "VmRSS");
    const auto switchesStart =
        statusField(threadStatus(beacon.pid()), "voluntary_ctxt_switches") +
        statusField(threadStatus(beacon.pid()), "nonvoluntary_ctxt_switches");
    const double cpuStart = testing::cpuSeconds(beacon.pid());
    const auto measured = std::chrono::duration<double>(runSeconds());
    std::this_thread::sleep_for(measured);
    const long rssEndKb =
        statusField({"/proc/" + std::to_string(beacon.pid()) + "/status"}, "VmRSS");
    const auto switchesEnd = statusField(threadStatus(beacon.pid()), "voluntary_ctxt_switches") +
                             statusField(threadStatus(beacon.pid()), "nonvoluntary_ctxt_switches");
    const double cpu = testing::cpuSeconds(beacon.pid()) - cpuStart;
    beacon.signal(SIGTERM);
    const int status = beacon.wait(5s);
    const std::vector<std::int16_t> recording = recorder.stop();

    const bench::RecordedSignal figures =
        bench::measureRecording(recording, pass, recorder, kPeriodSeconds, kSampleRateHz);
    const std::vector<double>& errorsMs = figures.slotErrorsMs;
    std::vector<double> magnitudes;
    for (const double error : errorsMs) {
      magnitudes.push_back(std::fabs(error));
    }
    std::sort(magnitudes.begin(), magnitudes.end());

    state.counters["exit_status"] = status;
    state.counters["silent_frames"] = static_cast<double>(figures.silentFrames);
    state.counters["gaps"] = static_cast<double>(figures.gaps);
    state.counters["longest_gap_ms"] = figures.longestGapMs;
    state.counters["passes"] = static_cast<double>(errorsMs.size());
    state.counters["rss_start_kb"] = static_cast<double>(rssStartKb);
    state.counters["rss_end_kb"] = static_cast<double>(rssEndKb);
    state.counters["cpu_s_per_hour"] = cpu / measured.count() * kSecondsPerHour;
    state.counters["cpu_percent"] = cpu / measured.count() * 100.0;
    state.counters["wakeups_per_s"] =
        static_cast<double>(switchesEnd - switchesStart) / measured.count();
    state.counters["slot_error_ms_median"] =
        magnitudes.empty() ? -1.0 : magnitudes[magnitudes.size() / 2];
    state.counters["slot_error_ms_worst"] = magnitudes.empty() ? -1.0 : magnitudes.back();
  }
}
BENCHMARK(BM_BeaconRecorded)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void BM_BeaconLongSymbolVersusPacat(benchmark::State& state) {
  constexpr auto kSettle = 5s;
  const double seconds = secondsFromEnvironment("BITONER_BENCH_LONG_SYMBOL_SECONDS", 60.0);
  for (auto _ : state) {
    const testing::TempWorkDir dir;
    const testing::PrivatePulse pulse;
    // The beacon's signal as raw frames for pacat: passes enough for the whole run.
    const std::filesystem::path raw = dir.path() / "signal.raw";
    const auto passes = std::to_string(static_cast<int>(seconds / 100.0) + 2);
    testing::ChildProcess render(
        {BITONER_EXECUTABLE, "render", "--symbol", "3", "--loop", passes, "-o", "-", "PARIS"},
        {{}, raw, {}, {}});
    if (render.wait(60s) != 0) {
      state.SkipWithError("render failed");
      return;
    }
    testing::ChildProcess beacon(
        {BITONER_EXECUTABLE, "beacon", "--symbol", "3", "--quiet", "PARIS"},
        {{}, {}, dir.path() / "beacon.txt", {}});
    testing::ChildProcess pacat({"/usr/bin/pacat", "--raw", "--rate=11025", "--channels=2",
                                 "--format=s16le", "--latency-msec=200", raw.string()},
                                {{}, {}, dir.path() / "pacat.txt", {}});
    std::this_thread::sleep_for(kSettle);
    const double beaconCpuStart = schedSeconds(beacon.pid());
    const double pacatCpuStart = schedSeconds(pacat.pid());
    const long beaconSwitchesStart = contextSwitches(beacon.pid());
    const long pacatSwitchesStart = contextSwitches(pacat.pid());
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double beaconCpu = schedSeconds(beacon.pid()) - beaconCpuStart;
    const double pacatCpu = schedSeconds(pacat.pid()) - pacatCpuStart;
    const long beaconSwitches = contextSwitches(beacon.pid()) - beaconSwitchesStart;
    const long pacatSwitches = contextSwitches(pacat.pid()) - pacatSwitchesStart;
    const std::vector<std::filesystem::path> beaconStatus{"/proc/" + std::to_string(beacon.pid()) +
                                                          "/status"};
    state.counters["beacon_rss_kb"] = static_cast<double>(statusField(beaconStatus, "VmRSS"));
    state.counters["beacon_qt_mappings"] =
        static_cast<double>(bench::mappingsOf(beacon.pid(), "libQt"));
    beacon.signal(SIGTERM);
    state.counters["beacon_exit_status"] = beacon.wait(10s);
    state.counters["beacon_cpu_ms"] = beaconCpu * 1000.0;
    state.counters["pacat_cpu_ms"] = pacatCpu * 1000.0;
    state.counters["beacon_cpu_times_pacat"] = pacatCpu > 0.0 ? beaconCpu / pacatCpu : -1.0;
    state.counters["beacon_wakeups_per_s"] = static_cast<double>(beaconSwitches) / seconds;
    state.counters["pacat_wakeups_per_s"] = static_cast<double>(pacatSwitches) / seconds;
  }
}
BENCHMARK(BM_BeaconLongSymbolVersusPacat)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace bitoner
