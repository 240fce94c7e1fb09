// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>

#include "cli/beacon_command.h"
#include "cli/decode_command.h"
#include "cli/keying_options.h"
#include "cli/render.h"
#include "cli/tune.h"

namespace bitoner::cli {

int runCommandLine(int argc, char* argv[]) {
  CLI::App app(
      "Bitoner keys a typed message as two-frequency Morse code in complex-baseband I/Q audio.\n"
      "Without arguments it opens its window.",
      "bitoner");
  app.set_version_flag("--version", std::string("bitoner ") + BITONER_VERSION);
  app.require_subcommand(1);

  RenderOptions renderOptions;
  const CLI::App* render = addRenderCommand(app, renderOptions);
  BeaconOptions beaconOptions;
  const CLI::App* beacon = addBeaconCommand(app, beaconOptions);
  TuneOptions tuneOptions;
  const CLI::App* tune = addTuneCommand(app, tuneOptions);
  DecodeOptions decodeOptions;
  const CLI::App* decode = addDecodeCommand(app, decodeOptions);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version are successes; every other parse error is a usage error.
    const int status = app.exit(error);
    return status == 0 ? kExitDone : kExitRefused;
  }
  try {
    if (render->parsed()) {
      return runRender(renderOptions);
    }
    if (beacon->parsed()) {
      return runBeaconCommand(beaconOptions);
    }
    if (tune->parsed()) {
      return runTune(tuneOptions);
    }
    if (decode->parsed()) {
      return runDecode(decodeOptions);
    }
  } catch (const std::exception& error) {
    std::cerr << "bitoner: " << error.what() << '\n';
    return kExitFailed;
  }
  return kExitRefused;
}

}  // namespace bitoner::cli
