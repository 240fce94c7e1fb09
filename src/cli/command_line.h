// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace bitoner::cli {

// Runs `bitoner` with arguments: the subcommands, --help and --version. Never touches a display.
// Returns the exit status.
int runCommandLine(int argc, char* argv[]);

}  // namespace bitoner::cli
