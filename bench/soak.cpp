// SPDX-License-Identifier: GPL-3.0-or-later
// The long unattended run: a beacon at a 20 ms symbol on a private sound server for an hour (or
// --minutes M), `decode --live` on the sink's monitor all the while, and the sink recorded. Prints
// the figures: silences in the signal, passes heard whole and on their slots against the slots
// there were, each process's resident memory at 5 minutes and at the end and its CPU, and the
// characters decoded against those sent.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "edit_distance.h"
#include "engine/parameters.h"
#include "engine/tones.h"
#include "process_figures.h"
#include "support/child_process.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

constexpr double kSymbolSeconds = 0.02;
constexpr double kPeriodSeconds = 10.0;
constexpr auto kFirstLook = 5min;
const std::string kMessage = "VVV DE N0CALL";

std::string contents(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++count;
  }
  return count;
}

struct Process {
  const char* name;
  const testing::ChildProcess* child;
  long firstRssKb = 0;
  double cpuAtStart = 0.0;
};

int soak(double minutes) {
  const testing::TempWorkDir dir;
  const testing::PrivatePulse pulse;
  MakeTones(ToneInputs{600.0, 1000.0, 1200.0, kSampleRateHz, kSymbolSeconds, kSymbolSeconds / 10,
                       10340.65, false});
  std::u32string message(kMessage.begin(), kMessage.end());
  const std::vector<std::int16_t> pass = testing::framesOf(testing::playOrder(message));

  testing::MonitorRecorder recorder(pulse);
  testing::ChildProcess decoder(
      {BITONER_EXECUTABLE, "decode", "--live", "--device", "bitoner_test_sink.monitor", "--symbol",
       "0.02"},
      {dir.path(), dir.path() / "decoded.txt", dir.path() / "decode-err.txt", {}});
  std::this_thread::sleep_for(1s);
  const auto started = std::chrono::system_clock::now();
  testing::ChildProcess beacon(
      {BITONER_EXECUTABLE, "beacon", "--symbol", "0.02", "--every", "10s", "--quiet", kMessage},
      {dir.path(), {}, dir.path() / "beacon-err.txt", {}});
  std::vector<Process> processes{{"beacon", &beacon}, {"decode --live", &decoder}};
  for (Process& process : processes) {
    process.cpuAtStart = testing::cpuSeconds(process.child->pid());
  }
  const auto length = std::chrono::duration<double>(minutes * 60.0);
  const auto firstLook = std::min<std::chrono::duration<double>>(kFirstLook, length);
  std::this_thread::sleep_for(firstLook);
  for (Process& process : processes) {
    process.firstRssKb = bench::residentKb(process.child->pid());
  }
  std::this_thread::sleep_for(length - firstLook);
  const auto stopped = std::chrono::system_clock::now();

  std::printf(
      "soak: %.0f minutes, beacon at a %.0f ms symbol every %.0f s, decode --live on the "
      "sink's monitor\n",
      minutes, kSymbolSeconds * 1000.0, kPeriodSeconds);
  const double seconds = length.count();
  for (const Process& process : processes) {
    const long endKb = bench::residentKb(process.child->pid());
    const double cpu = testing::cpuSeconds(process.child->pid()) - process.cpuAtStart;
    std::printf("%-14s RSS %ld kB at %.0f min, %ld kB at the end (%+ld kB); CPU %.1f s, %.2f %%\n",
                process.name, process.firstRssKb, firstLook.count() / 60.0, endKb,
                endKb - process.firstRssKb, cpu, cpu / seconds * 100.0);
  }
  beacon.signal(SIGTERM);
  const int beaconStatus = beacon.wait(10s);
  std::this_thread::sleep_for(2s);  // the last pass is decided on Ctrl-C
  decoder.signal(SIGINT);
  const int decoderStatus = decoder.wait(30s);
  const std::vector<std::int16_t> recording = recorder.stop();

  const bench::RecordedSignal figures =
      bench::measureRecording(recording, pass, recorder, kPeriodSeconds, kSampleRateHz);
  // The slots between the beacon's start and its stop.
  const auto slotsOf = [](std::chrono::system_clock::time_point when) {
    return std::floor(std::chrono::duration<double>(when.time_since_epoch()).count() /
                      kPeriodSeconds);
  };
  const auto slots = static_cast<long>(slotsOf(stopped) - slotsOf(started));
  double worst = 0.0;
  for (const double error : figures.slotErrorsMs) {
    worst = std::max(worst, std::fabs(error));
  }
  std::printf("signal: %zu silent frames in %zu gaps (longest %.1f ms)\n", figures.silentFrames,
              figures.gaps, figures.longestGapMs);
  std::printf("passes: %zu heard whole, bit for bit, of %ld slots; worst %.1f ms from its slot\n",
              figures.slotErrorsMs.size(), slots, worst);
  // What was decoded, its blanks and line ends as single blanks, against the message once a pass.
  std::string decoded;
  std::istringstream words(contents(dir.path() / "decoded.txt"));
  for (std::string word; words >> word;) {
    decoded += (decoded.empty() ? "" : " ") + word;
  }
  std::string sent;
  for (std::size_t k = 0; k < figures.slotErrorsMs.size(); ++k) {
    sent += (sent.empty() ? "" : " ") + kMessage;
  }
  const std::size_t errors = bench::editDistance(decoded, sent);
  std::printf(
      "decoded: %zu characters against %zu sent, edit distance %zu (%.2f %% character "
      "errors); the message read exactly %zu times of %zu\n",
      decoded.size(), sent.size(), errors,
      sent.empty() ? 0.0 : 100.0 * static_cast<double>(errors) / static_cast<double>(sent.size()),
      occurrences(decoded, kMessage), figures.slotErrorsMs.size());
  if (errors != 0) {
    std::printf("decoded text (its start): %.300s\n", decoded.c_str());
  }
  std::printf("exit: beacon %d, decode --live %d\n", beaconStatus, decoderStatus);
  const std::string faults =
      contents(dir.path() / "beacon-err.txt") + contents(dir.path() / "decode-err.txt");
  if (!faults.empty()) {
    std::printf("said on standard error:\n%s", faults.c_str());
  }
  return beaconStatus == 0 && decoderStatus == 128 + SIGINT ? 0 : 1;
}

}  // namespace
}  // namespace bitoner

int main(int argc, char** argv) {
  double minutes = 60.0;
  if (argc == 3 && std::strcmp(argv[1], "--minutes") == 0) {
    minutes = std::strtod(argv[2], nullptr);
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--minutes M]\n", argv[0]);
    return 2;
  }
  if (!(minutes > 0.0)) {
    std::fprintf(stderr, "%s: --minutes must be a positive number\n", argv[0]);
    return 2;
  }
  return bitoner::soak(minutes);
}
