// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/grab_command.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cli/keying_options.h"
#include "cli/live_source.h"
#include "cli/outcome.h"
#include "grab/grabber.h"
#include "keying/schedule.h"
#include "recording/output_file.h"
#include "recording/recording_names.h"
#include "recording/recording_reader.h"
#include "signals/stop_signals.h"

namespace bitoner::cli {

namespace {

constexpr std::size_t kReadFrames = 65536;
// The band shown by default reaches this far beyond the outermost tones: a share of their
// spread, and no less than a width that shows a single tone's neighbourhood.
constexpr double kMarginShare = 0.15;
constexpr double kLeastMarginHz = 25.0;
// The default resolution splits the tones' own resolution (one over the symbol) in three.
constexpr double kBinsPerToneResolution = 3.0;

std::chrono::milliseconds durationOption(const std::string& name, const std::string& text) {
  const std::optional<Milliseconds> value = parseDuration(text);
  if (!value || *value <= Milliseconds(0)) {
    throw Refusal(name + ": \"" + text + "\" is not a duration; give 10m, 90s or 1h");
  }
  return *value;
}

std::pair<double, double> rangeOption(const std::string& text) {
  const std::size_t colon = text.find(':');
  double low = 0.0;
  double high = 0.0;
  const auto read = [](std::string_view part, double& value) {
    const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
    return ec == std::errc() && end == part.data() + part.size() && std::isfinite(value);
  };
  if (colon == std::string::npos || !read(std::string_view(text).substr(0, colon), low) ||
      !read(std::string_view(text).substr(colon + 1), high) || !(low < high)) {
    throw Refusal("--range: \"" + text +
                  "\" is not LOW:HIGH in dB with LOW below HIGH, e.g. -90:-30");
  }
  return {low, high};
}

grab::GrabSettings settingsFor(const GrabOptions& options, double rateHz, bool real,
                               const RecordedKeying& recorded) {
  grab::GrabSettings settings;
  const Milliseconds frame = durationOption("--frame", options.frameText);
  if (!grab::tilesDay(frame)) {
    throw Refusal("--frame: \"" + options.frameText +
                  "\" does not divide a day into whole minutes; give 10m, 15m, 30m or 1h");
  }
  settings.clock.length = std::chrono::duration_cast<std::chrono::minutes>(frame);
  const double rate = rateHz * (1.0 + options.sought.ppm.value_or(0.0) * kPpmScale);
  std::vector<std::string> taken;
  const ToneInputs tones = soughtTones(options.sought, recorded, taken);
  sayFollowed("grab", taken);
  const decode::DecoderSettings keying = decoderSettings(tones, options.searchText, rate);
  const auto [lowest, highest] = keyedBand(tones);
  const double margin = std::max(kLeastMarginHz, kMarginShare * (highest - lowest));
  grab::SpanSettings& span = settings.span;
  span.sampleRateHz = rate;
  span.real = real;
  span.lowHz = options.lowHz.value_or(lowest - margin);
  span.highHz = options.highHz.value_or(highest + margin);
  span.resolutionHz =
      options.resolutionHz.value_or(1.0 / (kBinsPerToneResolution * keying.symbolSeconds));
  settings.prefix = options.prefix;
  if (options.title) {
    settings.title = *options.title;
  }
  settings.labelOffsetHz = options.frequencyHz.value_or(0.0);
  if (options.range) {
    settings.rangeDb = rangeOption(*options.range);
  }
  if (options.decode) {
    settings.decoding = keying;
  }
  settings.stack = options.stack;
  return settings;
}

std::string dataNameOf(const std::string& name) {
  return name.ends_with(kSigmfMetaSuffix)
             ? name.substr(0, name.size() - kSigmfMetaSuffix.size()) + std::string(kSigmfDataSuffix)
             : name;
}

// The capture's start as its SigMF metadata states it, if it does.
std::optional<grab::WallClock::time_point> sigmfStart(const std::string& metaName) {
  std::ifstream in(metaName, std::ios::binary);
  const nlohmann::json meta = nlohmann::json::parse(in, nullptr, false);
  if (meta.is_discarded() || !meta.contains("captures") || !meta["captures"].is_array() ||
      meta["captures"].empty() || !meta["captures"][0].is_object()) {
    return std::nullopt;
  }
  const nlohmann::json& capture = meta["captures"][0];
  if (!capture.contains("core:datetime") || !capture["core:datetime"].is_string()) {
    return std::nullopt;
  }
  return grab::parseUtc(capture["core:datetime"].get<std::string>());
}

// When a recording began: its SigMF capture time, --start, the reading's start for standard
// input, else the file's last change less its length, said on standard error.
grab::WallClock::time_point recordingStart(const GrabOptions& options,
                                           const RecordingFormat& format) {
  if (!format.sigmfMeta.empty()) {
    if (const auto stated = sigmfStart(format.sigmfMeta); stated && !options.start) {
      return *stated;
    }
  }
  if (options.start) {
    const auto given = grab::parseUtc(*options.start);
    if (!given) {
      throw Refusal("--start: \"" + *options.start +
                    "\" is not a time in UTC; give it as 2026-12-08T14:00:00Z");
    }
    return *given;
  }
  const auto now = grab::WallClock::now();
  if (options.input == "-") {
    return now;
  }
  struct stat status {};
  const std::string data = dataNameOf(options.input);
  if (::stat(data.c_str(), &status) != 0) {
    return now;
  }
  const double bytesPerFrame =
      (format.real ? 1.0 : 2.0) * (format.datatype.find("f32") != std::string::npos ? 4.0 : 2.0);
  const double seconds = static_cast<double>(status.st_size) / bytesPerFrame / format.sampleRateHz;
  const auto changed = grab::WallClock::from_time_t(status.st_mtim.tv_sec);
  const auto start = changed - std::chrono::duration_cast<grab::WallClock::duration>(
                                   std::chrono::duration<double>(seconds));
  say("grab", options.input + " does not say when it was recorded; taking " +
                  grab::utcMinuteText(start, true) +
                  "Z from the time it was written (give --start to say)");
  return start;
}

// Writes each picture into the output directory, replacing the one under its name whole.
grab::Grabber::Publish publisher(const GrabOptions& options, bool announce) {
  return [directory = std::filesystem::path(options.outputDir), announce,
          latest = options.prefix + "-latest.png"](const std::string& name,
                                                   std::span<const std::byte> png) {
    OutputFile out(directory / name);
    out.write(png);
    out.commit();
    if (announce && !name.ends_with("-latest.png")) {
      say("grab", (directory / name).string());
    }
  };
}

void grabRecording(const GrabOptions& options, double rawRate) {
  std::unique_ptr<RecordingReader> reader = openRecording(options.input, rawRate);
  const RecordingFormat& format = reader->format();
  grab::Grabber grabber(settingsFor(options, format.sampleRateHz, format.real, format.keying),
                        publisher(options, true));
  grabber.start(recordingStart(options, format));
  std::vector<std::complex<float>> samples;
  while (true) {
    reader->read(samples, kReadFrames);
    if (samples.empty()) {
      break;
    }
    grabber.feed(samples);
  }
  grabber.finish();
}

// Grabs a sound server's source until SIGINT or SIGTERM, then draws the frame so far and ends the
// process by that signal. A server lost on the way is said and tried again; the frame being drawn
// keeps what it holds and goes on after the gap.
[[noreturn]] void grabLive(const GrabOptions& options, double rate) {
  const Milliseconds update = durationOption("--update", options.updateText);
  grab::Grabber grabber(settingsFor(options, rate, false, {}), publisher(options, true));
  // A signal only notes that it came: the frame so far is drawn first.
  const StopSignals caught({.interruptCalls = true, .secondEndsProcess = false});
  LiveSource capture("grab", options.device, static_cast<std::uint32_t>(rate), "grabbing again");
  auto nextUpdate = grab::WallClock::now() + update;
  std::vector<std::complex<float>> chunk;
  while (StopSignals::received() == 0) {
    chunk.clear();
    if (!capture.read(chunk)) {
      grabber.breakOff();
      continue;
    }
    const auto now = grab::WallClock::now();
    grabber.feed(chunk, now);
    if (now >= nextUpdate) {
      grabber.publishSoFar();
      nextUpdate = now + update;
    }
  }
  grabber.publishSoFar();
  StopSignals::endBy(StopSignals::received());
}

}  // namespace

CLI::App* addGrabCommand(CLI::App& app, GrabOptions& options) {
  CLI::App* grab = app.add_subcommand(
      "grab",
      "Draw spectrogram pictures (PNG) of a recording or a sound server's source, in frames "
      "aligned to UTC, with what was read written on them.");
  // What was keyed, as decode takes it: the band is framed around the mode's tones.
  addSoughtOptions(*grab, options.sought);
  const CLI::Validator number = numberValidator();
  grab->add_option("--frame", options.frameText,
                   "Frame length, whole minutes dividing a day (default 10m)")
      ->option_text("DURATION");
  grab->add_option("--update", options.updateText,
                   "With --live: draw the frame so far this often (default 1m)")
      ->option_text("DURATION");
  grab->add_option("--start", options.start,
                   "When the recording began, in UTC (2026-12-08T14:00:00Z); a SigMF "
                   "recording's capture time is taken otherwise")
      ->option_text("TIME");
  grab->add_option("--low", options.lowHz,
                   "Lowest frequency shown, in Hz at baseband (default: below the tones)")
      ->option_text("HZ");
  grab->add_option("--high", options.highHz,
                   "Highest frequency shown, in Hz at baseband (default: above the tones)")
      ->option_text("HZ");
  grab->add_option("--resolution", options.resolutionHz,
                   "Frequency resolution in Hz (default a third of one over the symbol)")
      ->check(CLI::PositiveNumber)
      ->option_text("HZ");
  grab->add_option("--ppm", options.sought.ppm,
                   "The sound card's clock is P ppm fast (negative: slow): frequencies and times "
                   "are corrected for it (default 0)")
      ->check(CLI::Range(-100000.0, 100000.0))
      ->option_text("P");
  grab->add_option("--frequency", options.frequencyHz,
                   "The radio frequency of baseband 0 in Hz: the axis is labelled at RF")
      ->option_text("HZ");
  grab->add_option("--range", options.range,
                   "The colour map's ends in dB below full scale (default: from the noise floor "
                   "to the strongest trace)")
      ->option_text("LOW:HIGH");
  grab->add_option("--title", options.title,
                   "The title line's first words, e.g. your call and band (default Bitoner grab)")
      ->option_text("TEXT");
  grab->add_flag("--decode", options.decode,
                 "Read the keying and write the characters above their traces");
  grab->add_option(
          "--search", options.searchText,
          "With --decode: look for the tones within this many Hz (default 3, or less where "
          "the tones lie so close that one could be taken for another)")
      ->check(number)
      ->option_text("HZ");
  grab->add_option("--output-dir", options.outputDir,
                   "Write the pictures here (default the working directory)")
      ->option_text("DIR");
  grab->add_option("--prefix", options.prefix,
                   "Pictures are PREFIX-YYYYMMDDTHHMMZ.png and PREFIX-latest.png (default grab)")
      ->option_text("PREFIX");
  grab->add_option("--stack", options.stack,
                   "Also draw the average of the last N frames' power, as PREFIX-stack-...")
      ->check(CLI::Range(1, 1000))
      ->option_text("N");
  grab->add_option("--rate", options.rateText,
                   "Sample rate of raw frames on standard input, or to record at with --live, in "
                   "Hz (default 11025)")
      ->check(number)
      ->option_text("HZ");
  addSourceOptions(*grab, options.input, options.live, options.device,
                   "Grab a sound server's source as it comes, frame after frame");
  grab->footer(
      "Exit status 0 written, 1 a recording, source or picture failed, 2 refused.\n"
      "Examples:\n"
      "  bitoner grab --symbol 3 --decode --start 2026-12-08T14:00:00Z beacon.wav\n"
      "  bitoner grab --mode qrss --freq 1000 --symbol 3 --decode qrss3.wav\n"
      "  bitoner grab --live --symbol 3 --title \"N0CALL 30 m\" --output-dir /var/www/grab");
  return grab;
}

int runGrab(const GrabOptions& options) {
  return reportOutcome("grab", [&options] {
    if (!options.live && options.input.empty()) {
      throw Refusal("give a recording, - for standard input, or --live");
    }
    if (options.prefix.empty() || options.prefix.find('/') != std::string::npos) {
      throw Refusal("--prefix must be a name without /");
    }
    const double rawRate = rateOption(options.rateText);
    std::error_code error;
    if (!std::filesystem::is_directory(options.outputDir, error)) {
      throw Failure("--output-dir " + options.outputDir + " is not a directory");
    }
    if (options.live) {
      grabLive(options, rawRate);
    }
    grabRecording(options, rawRate);
    return kExitDone;
  });
}

}  // namespace bitoner::cli
