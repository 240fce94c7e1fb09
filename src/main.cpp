// SPDX-License-Identifier: GPL-3.0-or-later
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "cli/command_line.h"

namespace {

// The window is a program of its own, so that the command line never loads the toolkit: beside
// this one in the build tree, in its private directory once installed.
std::filesystem::path findWindowProgram() {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    return {};
  }
  for (const std::filesystem::path& relative :
       {std::filesystem::path(BITONER_WINDOW_PROGRAM),
        std::filesystem::path(BITONER_WINDOW_FROM_BINDIR) / BITONER_WINDOW_PROGRAM}) {
    const std::filesystem::path candidate = self.parent_path() / relative;
    if (::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
  }
  return {};
}

}  // namespace

// With arguments, the command line in this process; without, the window.
int main(int argc, char* argv[]) {
  if (argc > 1) {
    return bitoner::cli::runCommandLine(argc, argv);
  }
  const std::filesystem::path window = findWindowProgram();
  std::string reason = "it is not installed (it comes with the bitoner package)";
  if (!window.empty()) {
    // The same process carries on as the window: its id, its arguments and its name stay.
    ::execv(window.c_str(), argv);
    reason = window.string() + " cannot be started: " + std::strerror(errno);
  }
  std::fprintf(stderr,
               "bitoner: the window is not available: %s; for the command line, see "
               "bitoner --help\n",
               reason.c_str());
  return 1;
}
