// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/beacon_command.h"
#include "cli/decode_command.h"
#include "cli/grab_command.h"
#include "cli/keying_options.h"
#include "cli/render.h"
#include "cli/tune.h"
#include "recording/version.h"

namespace bitoner::cli {

namespace {

// A usage error in the program's words, naming the word or option that is wrong.
// Why `word`, an extra word after the command's options, was not expected: a flag before it
// that takes no value, with a pointer to the option that takes a frequency where there is one.
std::string extraWordText(const CLI::App& command, const std::string& word,
                          const std::vector<std::string>& args) {
  std::string text = "\"" + word + "\" is an extra word, not an option";
  const auto at = std::find(args.begin(), args.end(), word);
  if (at == args.begin() || at == args.end() || !at[-1].starts_with("--")) {
    return text;
  }
  const CLI::Option* before = command.get_option_no_throw(at[-1]);
  if (before != nullptr && before->get_expected_max() == 0) {
    text += ": " + at[-1] + " takes no value";
    if (const CLI::Option* freq = command.get_option_no_throw("--freq");
        freq != nullptr && freq->get_expected_max() != 0) {
      text += "; --freq HZ sets a frequency";
    }
  }
  return text;
}

std::string usageText(const CLI::App& app, const CLI::ParseError& error,
                      const std::vector<std::string>& args) {
  const std::vector<const CLI::App*> parsed =
      app.get_subcommands([](const CLI::App* command) { return command->parsed(); });
  if (parsed.empty()) {
    const std::vector<std::string> rest = app.remaining();
    std::string commands;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
      commands += (commands.empty() ? "" : ", ") + command->get_name();
    }
    if (!rest.empty() && rest.front().starts_with('-')) {
      return "bitoner: unknown option \"" + rest.front() + "\"; the commands are " + commands;
    }
    if (!rest.empty()) {
      return "bitoner: unknown command \"" + rest.front() + "\"; the commands are " + commands;
    }
    if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr) {
      return "bitoner: a command is needed: " + commands;
    }
  }
  std::string text = error.what();
  // CLI11 says "--symbol: At Most 1 required but received 2" of a repeated option, and "The
  // following argument was not expected: --bogus" of an unknown one.
  const std::string repeated = ": At Most 1 required but received ";
  const std::string unexpected = "The following argument was not expected: ";
  if (const std::size_t at = text.find(repeated); at != std::string::npos) {
    text = text.substr(0, at) + " is given " + text.substr(at + repeated.size()) +
           " times; give it once";
  } else if (text.starts_with(unexpected)) {
    const std::string word = text.substr(unexpected.size());
    text = word.starts_with('-') || parsed.empty() ? "unknown option \"" + word + "\""
                                                   : extraWordText(*parsed.back(), word, args);
  }
  const std::string prefix =
      parsed.empty() ? "bitoner: " : "bitoner " + parsed.back()->get_name() + ": ";
  return prefix + text;
}

}  // namespace

int runCommandLine(int argc, char* argv[]) {
  CLI::App app(
      "Bitoner keys a typed message as two-frequency Morse code in complex-baseband I/Q audio.\n"
      "Without arguments it opens its window.",
      "bitoner");
  app.set_version_flag("--version", "bitoner " + std::string(programVersion()));
  app.require_subcommand(1);

  RenderOptions renderOptions;
  const CLI::App* render = addRenderCommand(app, renderOptions);
  BeaconOptions beaconOptions;
  const CLI::App* beacon = addBeaconCommand(app, beaconOptions);
  TuneOptions tuneOptions;
  const CLI::App* tune = addTuneCommand(app, tuneOptions);
  DecodeOptions decodeOptions;
  const CLI::App* decode = addDecodeCommand(app, decodeOptions);
  GrabOptions grabOptions;
  const CLI::App* grab = addGrabCommand(app, grabOptions);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Help and version are successes; every other parse error is a usage error.
    if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) {
      return app.exit(error);
    }
    std::cerr << usageText(app, error, std::vector<std::string>(argv + 1, argv + argc))
              << "\nRun with --help for more information.\n";
    return kExitRefused;
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
    if (grab->parsed()) {
      return runGrab(grabOptions);
    }
  } catch (const std::exception& error) {
    std::cerr << "bitoner: " << error.what() << '\n';
    return kExitFailed;
  }
  return kExitRefused;
}

}  // namespace bitoner::cli
