// SPDX-License-Identifier: GPL-3.0-or-later
// What the real program costs a small computer before it does anything of note: a beacon keying
// into a private sound server, its memory after a minute (BITONER_BENCH_FOOTPRINT_SECONDS), and
// the start-up of a command that draws nothing, timed and weighed over many runs. Which libraries
// each has mapped is counted too, so that a library loaded where it is not needed shows.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "process_figures.h"
#include "support/child_process.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

extern char** environ;

namespace bitoner {
namespace {

using namespace std::chrono_literals;

constexpr double kDefaultBeaconSeconds = 60.0;
constexpr int kStartUps = 50;

void BM_BeaconFootprint(benchmark::State& state) {
  const double seconds =
      bench::secondsFromEnvironment("BITONER_BENCH_FOOTPRINT_SECONDS", kDefaultBeaconSeconds);
  for (auto _ : state) {
    const testing::TempWorkDir dir;
    const testing::PrivatePulse pulse;
    testing::ChildProcess beacon(
        {BITONER_EXECUTABLE, "beacon", "--quiet", "--symbol", "0.5", "VVV DE N0CALL"},
        {{}, {}, dir.path() / "beacon.txt", {}});
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const std::vector<std::filesystem::path> status{"/proc/" + std::to_string(beacon.pid()) +
                                                    "/status"};
    state.counters["rss_kb"] = static_cast<double>(bench::statusField(status, "VmRSS"));
    state.counters["hwm_kb"] = static_cast<double>(bench::statusField(status, "VmHWM"));
    state.counters["png_mappings"] = static_cast<double>(bench::mappingsOf(beacon.pid(), "libpng"));
    state.counters["freetype_mappings"] =
        static_cast<double>(bench::mappingsOf(beacon.pid(), "libfreetype"));
    beacon.signal(SIGTERM);
    state.counters["exit_status"] = beacon.wait(10s);
  }
}
BENCHMARK(BM_BeaconFootprint)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// `bitoner --version`, started and waited for, again and again: the wall time and the peak
// memory of one start-up.
void BM_StartUp(benchmark::State& state) {
  std::string program = BITONER_EXECUTABLE;
  std::string version = "--version";
  char* argv[] = {program.data(), version.data(), nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  long peakKb = 0;
  long failures = 0;
  for (auto _ : state) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, program.c_str(), &quiet, nullptr, argv, environ) != 0) {
      state.SkipWithError("cannot start bitoner");
      break;
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    peakKb = std::max(peakKb, usage.ru_maxrss);
    failures += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
  }
  posix_spawn_file_actions_destroy(&quiet);
  state.counters["peak_rss_kb"] = static_cast<double>(peakKb);
  state.counters["failed_runs"] = static_cast<double>(failures);
}
BENCHMARK(BM_StartUp)->Iterations(kStartUps)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace bitoner
