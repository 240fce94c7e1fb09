// SPDX-License-Identifier: GPL-3.0-or-later
// What a running process has cost, read from /proc, for the benchmarks of long-running commands.
#pragma once

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace bitoner::testing {

// User and system CPU seconds of the process, all its threads.
inline double cpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::stringstream whole;
  whole << in.rdbuf();
  const std::string text = whole.str();
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::vector<std::string> values{std::istream_iterator<std::string>(fields),
                                  std::istream_iterator<std::string>()};
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return (std::stod(values.at(11)) + std::stod(values.at(12))) / ticks;
}

}  // namespace bitoner::testing
