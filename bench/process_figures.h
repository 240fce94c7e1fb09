// SPDX-License-Identifier: GPL-3.0-or-later
// Figures of a running process read from /proc, and of a signal recorded at the sink: what the
// beacon benchmarks and the soak report.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/process_cpu.h"
#include "support/pulse_daemon.h"

namespace bitoner::bench {

// The number of seconds in the environment variable `name`, or `otherwise` where it holds none.
inline double secondsFromEnvironment(const char* name, double otherwise) {
  const char* text = std::getenv(name);
  const double seconds = text != nullptr ? std::strtod(text, nullptr) : otherwise;
  return seconds > 0.0 ? seconds : otherwise;
}

// A field of /proc/PID/status, in its own units (kB for memory), summed over `paths`.
inline long statusField(const std::vector<std::filesystem::path>& paths, const std::string& field) {
  long total = 0;
  for (const auto& path : paths) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(field + ":", 0) == 0) {
        total += std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
      }
    }
  }
  return total;
}

// Mappings in the process of a file whose name holds `name` (a library: "libQt", "libpng").
inline long mappingsOf(pid_t pid, const std::string& name) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/maps");
  long count = 0;
  std::string line;
  while (std::getline(in, line)) {
    count += line.find(name) != std::string::npos ? 1 : 0;
  }
  return count;
}

inline long residentKb(pid_t pid) {
  return statusField({"/proc/" + std::to_string(pid) + "/status"}, "VmRSS");
}

inline std::vector<std::filesystem::path> threadStatus(pid_t pid) {
  std::vector<std::filesystem::path> paths;
  std::error_code ignored;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
    paths.push_back(task.path() / "status");
  }
  return paths;
}

// What a recording of the sink says of a scheduled beacon.
struct RecordedSignal {
  std::size_t silentFrames = 0;  // between the first and the last frame of signal
  std::size_t gaps = 0;          // runs of silent frames
  double longestGapMs = 0.0;
  std::vector<double> slotErrorsMs;  // each pass found whole: heard this far from its slot
};

// Finds every whole pass (`pass`, interleaved frames) in `recording` and how far from a multiple
// of `periodSeconds` of the wall clock each was heard, and the silences inside the signal.
inline RecordedSignal measureRecording(const std::vector<std::int16_t>& recording,
                                       const std::vector<std::int16_t>& pass,
                                       const testing::MonitorRecorder& recorder,
                                       double periodSeconds, double rateHz) {
  const auto wallMinusSteady = std::chrono::system_clock::now().time_since_epoch() -
                               std::chrono::steady_clock::now().time_since_epoch();
  RecordedSignal figures;
  const std::ptrdiff_t first = testing::signalStart(recording) / 2;
  std::size_t last = recording.size() / 2;
  while (last > 0 && recording[last * 2 - 2] == 0 && recording[last * 2 - 1] == 0) {
    --last;
  }
  std::size_t run = 0;
  std::size_t longest = 0;
  for (auto frame = static_cast<std::size_t>(std::max<std::ptrdiff_t>(first, 0)); frame < last;
       ++frame) {
    if (recording[frame * 2] == 0 && recording[frame * 2 + 1] == 0) {
      ++figures.silentFrames;
      figures.gaps += run == 0 ? 1U : 0U;
      longest = std::max(longest, ++run);
    } else {
      run = 0;
    }
  }
  figures.longestGapMs = static_cast<double>(longest) * 1000.0 / rateHz;
  for (auto at = recording.begin();;) {
    at = std::search(at, recording.end(), pass.begin(), pass.end());
    if (at == recording.end()) {
      break;
    }
    const auto frame = static_cast<std::size_t>((at - recording.begin()) / 2);
    const auto heard = recorder.arrivalTime(frame) + wallMinusSteady;
    const double seconds = std::chrono::duration<double>(heard.time_since_epoch()).count();
    figures.slotErrorsMs.push_back((seconds - periodSeconds * std::round(seconds / periodSeconds)) *
                                   1000.0);
    at += static_cast<std::ptrdiff_t>(pass.size());
  }
  return figures;
}

}  // namespace bitoner::bench
