// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/decode_command.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <iostream>

#include "cli/keying_options.h"
#include "cli/live_source.h"
#include "decode/decode_live.h"
#include "decode/decoder.h"
#include "grab/frame_clock.h"
#include "recording/output_file.h"
#include "recording/recording_names.h"
#include "recording/recording_reader.h"
#include "recording/sigmf.h"
#include "signals/stop_signals.h"
#include "sound/sound_service.h"

namespace bitoner::cli {

namespace {

constexpr std::size_t kReadFrames = 65536;

std::string fixed(double value, int digits) {
  char text[64];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, digits);
  return ec == std::errc() ? std::string(text, end) : std::string("?");
}

std::string signedFixed(double value, int digits) {
  const std::string text = fixed(value, digits);
  // A value that rounds to zero is shown without a minus sign.
  const bool zero = text.find_first_not_of("-0.") == std::string::npos;
  return zero ? "+" + fixed(0.0, digits) : (value > 0.0 ? "+" : "") + text;
}

std::string dotsAndDashes(const std::string& pattern) {
  std::string shown;
  for (const char c : pattern) {
    shown.push_back(c == '0' ? '.' : '-');
  }
  return shown;
}

// Takes `recorded` into `into` unless the option was typed, saying so in `taken`.
void follow(bool typed, const std::optional<double>& recorded, double& into,
            const std::string& what, std::string_view unit, std::vector<std::string>& taken) {
  if (!typed && recorded) {
    into = *recorded;
    taken.push_back(what + " " + numberText(*recorded) + std::string(unit));
  }
}

// The decoder's settings for the keying sought.
decode::DecoderSettings settingsFor(const DecodeOptions& options, const ToneInputs& tones,
                                    double rateHz) {
  decode::DecoderSettings settings = decoderSettings(tones, options.searchText, rateHz);
  settings.driftHzPerMinute = readNumber(options.driftText);
  return settings;
}

// Says, as decode --verbose, where the default search was narrowed to keep the tones apart.
void sayNarrowedSearch(const decode::DecoderSettings& settings) {
  const double search = decode::searchFor(settings);
  if (search < settings.searchHz) {
    say("decode", "looking for the tones within " + numberText(search) +
                      " Hz of their frequencies, not " + numberText(settings.searchHz) +
                      ": the tones lie so close that a wider search could take one for another "
                      "(--search chooses)");
  }
}

// When a recording began, where its capture says so.
struct RecordingStart {
  bool known = false;
  grab::WallClock::time_point utc{};
};

// The UTC time `seconds` into a recording; empty where its start is unknown.
std::string utcAt(const RecordingStart& start, double seconds) {
  if (!start.known) {
    return {};
  }
  return sigmfDatetime(start.utc + std::chrono::duration_cast<grab::WallClock::duration>(
                                       std::chrono::duration<double>(seconds)));
}

void writeAnnotations(const std::string& name, const RecordingFormat& format,
                      const RecordingStart& start, const std::string& source,
                      std::pair<double, double> band, const decode::Decoded& decoded) {
  const auto [lowest, highest] = band;
  const auto frameAt = [&](double seconds) {
    return static_cast<std::int64_t>(std::nearbyint(seconds * format.sampleRateHz));
  };
  std::vector<DecodedTransmission> transmissions;
  for (const decode::DecodedPass& pass : decoded.passes) {
    transmissions.push_back(
        DecodedTransmission{.start = frameAt(pass.startSeconds),
                            .count = frameAt(pass.endSeconds) - frameAt(pass.startSeconds),
                            .text = pass.text,
                            .lowerHz = lowest + pass.startOffsetHz,
                            .upperHz = highest + pass.startOffsetHz,
                            .driftHzPerMinute = pass.driftHzPerMinute,
                            .snrDb = pass.snrDb,
                            .startUtc = utcAt(start, pass.startSeconds)});
  }
  std::vector<DecodedAnnotation> annotations;
  for (const decode::DecodedCharacter& c : decoded.characters) {
    annotations.push_back(DecodedAnnotation{.start = frameAt(c.startSeconds),
                                            .count = frameAt(c.seconds),
                                            .character = c.character,
                                            .pattern = c.pattern,
                                            .lowerHz = lowest + c.offsetHz,
                                            .upperHz = highest + c.offsetHz,
                                            .confidence = c.confidence});
  }
  OutputFile out(name);
  writeDecodedSigmf(out,
                    DecodedRecording{.datatype = format.datatype,
                                     .sampleRateHz = format.sampleRateHz,
                                     .source = source,
                                     .datetime = start.known ? format.datetime : std::string(),
                                     .text = decoded.text,
                                     .offsetHz = decoded.offsetHz,
                                     .snrDb = decoded.snrDb},
                    transmissions, annotations);
  out.commit();
}

void report(const decode::Decoded& decoded, const RecordingStart& start) {
  for (const decode::RemovedCarrier& carrier : decoded.carriers) {
    std::cerr << "bitoner decode: steady carrier at " << fixed(carrier.frequencyHz, 2) << " Hz, "
              << fixed(carrier.symbolSnrDb, 1) << " dB a symbol over the noise, taken out\n";
  }
  std::cerr << "bitoner decode: symbol " << fixed(decoded.symbolSeconds, 4) << " s, gap "
            << fixed(decoded.gapSeconds, 4) << " s, timing in steps of "
            << fixed(decoded.stepSeconds * 1000.0, 1) << " ms";
  if (!decoded.found) {
    std::cerr << "; no keying found";
  }
  std::cerr << '\n';
  for (const decode::DecodedPass& pass : decoded.passes) {
    const std::string utc = utcAt(start, pass.startSeconds);
    std::cerr << "bitoner decode: transmission from " << fixed(pass.startSeconds, 3) << " s"
              << (utc.empty() ? std::string() : " (" + utc + ")") << " to "
              << fixed(pass.endSeconds, 3) << " s, offset " << signedFixed(pass.startOffsetHz, 2)
              << " Hz to " << signedFixed(pass.endOffsetHz, 2) << " Hz (drift "
              << signedFixed(pass.driftHzPerMinute, 2) << " Hz a minute), SNR "
              << fixed(pass.snrDb, 1) << " dB in 2500 Hz\n";
    for (const decode::DecodedCharacter& c : pass.characters) {
      std::cerr << "bitoner decode: " << fixed(c.startSeconds, 3) << " s  "
                << (c.character == U' ' ? std::string("(space)")
                                        : std::string(1, static_cast<char>(c.character)) + " " +
                                              dotsAndDashes(c.pattern))
                << "  confidence " << fixed(c.confidence, 3) << '\n';
    }
  }
}

// Prints decided characters on standard output as they come, one line per transmission, details
// on standard error. Knows whether a line is open, so that a break in the recording ends it.
class LivePrinter {
 public:
  explicit LivePrinter(bool verbose) : verbose_(verbose) {}

  void print(const std::vector<decode::LiveCharacter>& decided) {
    for (const decode::LiveCharacter& c : decided) {
      if (c.lineBefore) {
        endLine();
      } else if (c.spaceBefore) {
        std::cout << ' ';
      }
      std::cout << static_cast<char>(c.character);
      lineOpen_ = true;
      if (verbose_) {
        std::cout << std::flush;
        std::cerr << "\nbitoner decode: " << fixed(c.startSeconds, 3) << " s  "
                  << static_cast<char>(c.character) << "  confidence " << c.confidence
                  << ", offset " << c.offsetHz << " Hz, SNR " << c.snrDb << " dB\n";
      }
    }
    std::cout << std::flush;
  }

  void endLine() {
    if (lineOpen_) {
      std::cout << '\n' << std::flush;
    }
    lineOpen_ = false;
  }

 private:
  bool verbose_;
  bool lineOpen_ = false;
};

// Decodes a sound server's source as it is recorded, printing each character once it is decided.
// Runs until SIGINT or SIGTERM, then prints what is left and a line end and ends the process by
// that signal. Throws SoundError when the source cannot be recorded at the start; a sound server
// lost later is said on standard error and tried again every few seconds, what was heard before
// it decided and its line ended.
void decodeLive(const decode::DecoderSettings& settings, const std::string& source, bool verbose) {
  // A signal only notes that it came: what was heard so far is decided and printed first.
  const StopSignals caught({.interruptCalls = true, .secondEndsProcess = false});
  decode::LiveDecoder decoder(settings);
  LiveSource capture("decode", source, static_cast<std::uint32_t>(settings.sampleRateHz),
                     "decoding again");
  LivePrinter printer(verbose);
  std::vector<std::complex<float>> chunk;
  while (true) {
    if (const int signal = StopSignals::received(); signal != 0) {
      printer.print(decoder.finish());
      std::cout << '\n' << std::flush;
      StopSignals::endBy(signal);
    }
    chunk.clear();
    if (!capture.read(chunk)) {
      // What was heard is decided now: what comes after the outage does not follow on from it.
      printer.print(decoder.breakOff());
      printer.endLine();
      continue;
    }
    printer.print(decoder.feed(chunk));
  }
}

int decodeRecording(const DecodeOptions& options) {
  if (!options.live && options.input.empty()) {
    throw Refusal("give a recording to decode, - for standard input, or --live");
  }
  if (!options.annotate.empty() && !hasSuffix(options.annotate, kSigmfMetaSuffix)) {
    throw Refusal("--annotate needs a name ending in .sigmf-meta");
  }
  const double rawRate = rateOption(options.rateText);
  std::vector<std::string> taken;
  if (options.live) {
    const decode::DecoderSettings settings =
        settingsFor(options, soughtTones(options.sought, {}, taken), rawRate);
    if (options.verbose) {
      sayNarrowedSearch(settings);
    }
    decodeLive(settings, options.device, options.verbose);
  }
  std::unique_ptr<RecordingReader> reader = openRecording(options.input, rawRate);
  const RecordingFormat& format = reader->format();
  if (!options.annotate.empty() && !format.sigmfMeta.empty()) {
    std::error_code ignored;
    if (std::filesystem::weakly_canonical(options.annotate, ignored) ==
        std::filesystem::weakly_canonical(format.sigmfMeta, ignored)) {
      throw Refusal("--annotate " + options.annotate +
                    " would overwrite the recording's own metadata; give another name");
    }
  }
  const ToneInputs tones = soughtTones(options.sought, format.keying, taken);
  if (options.verbose) {
    sayFollowed("decode", taken);
  }
  const decode::DecoderSettings settings = settingsFor(options, tones, format.sampleRateHz);
  decode::Decoder decoder(settings);
  if (options.verbose) {
    sayNarrowedSearch(settings);
  }
  std::vector<std::complex<float>> samples;
  while (true) {
    reader->read(samples, kReadFrames);
    if (samples.empty()) {
      break;
    }
    decoder.feed(samples);
  }
  for (const std::string& warning : reader->warnings()) {
    say("decode", "warning: " + warning);
  }
  const decode::Decoded decoded = decoder.decode();
  RecordingStart start;
  if (const auto stated = grab::parseUtc(format.datetime)) {
    start = {true, *stated};
  } else if (!format.datetime.empty()) {
    say("decode", "warning: the capture's core:datetime \"" + format.datetime +
                      "\" is not a UTC time; transmissions are placed in seconds only");
  }
  if (options.verbose) {
    report(decoded, start);
  }
  if (!options.annotate.empty()) {
    writeAnnotations(options.annotate, format, start,
                     options.input == "-" ? std::string("standard input") : options.input,
                     keyedBand(tones), decoded);
  }
  std::cout << decoded.text << '\n' << std::flush;
  return kExitDone;
}

}  // namespace

ToneInputs soughtTones(const SoughtOptions& options, const RecordedKeying& recorded,
                       std::vector<std::string>& taken) {
  KeyingOptions keying;
  keying.boxTexts = options.boxTexts;
  keying.mode = options.mode;
  if (options.mode.empty() && recorded.mode) {
    keying.mode = modeName(*recorded.mode);
    taken.push_back("mode " + keying.mode);
  }
  keying.freqText = options.freqText;
  keying.shiftText = options.shiftText;
  ToneInputs tones;
  try {
    tones = planRun(keying).tones;
  } catch (const Refusal& refusal) {
    if (keying.mode == options.mode) {
      throw;
    }
    throw Refusal(std::string(refusal.what()) +
                  " (the recording's mode; give --mode to look for another)");
  }
  const auto typed = [&options](Box box) {
    return options.boxTexts[static_cast<std::size_t>(box)].has_value();
  };
  const double typedSymbolSeconds = tones.SymbolLength;
  follow(typed(Box::SymbLen), recorded.symbolSeconds, tones.SymbolLength, "symbol", " s", taken);
  if (!hasMorseTiming(tones.mode)) {
    // A typed symbol keeps the recording's gap as its share of the symbol.
    std::optional<double> gap = recorded.gapSeconds;
    if (gap && typed(Box::SymbLen) && recorded.symbolSeconds) {
      *gap *= typedSymbolSeconds / *recorded.symbolSeconds;
    }
    follow(typed(Box::Intgap), gap, tones.InterSymbol, "gap", " s", taken);
    if (tones.mode == Mode::ThreeTone) {
      follow(typed(Box::IdleFreq), recorded.idleHz, tones.idleHz, "idle", " Hz", taken);
    }
    follow(typed(Box::DotFreq), recorded.dotHz, tones.dotHz, "dot", " Hz", taken);
    follow(typed(Box::DashFreq), recorded.dashHz, tones.dashHz, "dash", " Hz", taken);
  } else {
    double shiftHz = tones.dotHz - tones.idleHz;
    follow(options.freqText.has_value(), recorded.freqHz, tones.dotHz, "freq", " Hz", taken);
    tones.dashHz = tones.dotHz;
    if (tones.mode == Mode::Fskcw) {
      follow(options.shiftText.has_value(), recorded.shiftHz, shiftHz, "shift", " Hz", taken);
    }
    tones.idleHz = tones.dotHz - shiftHz;
  }
  tones.invert = options.invert;
  if (!options.invert && !options.notInverted && recorded.inverted.value_or(false)) {
    tones.invert = true;
    taken.emplace_back("inverted");
  }
  // The recording's tones were made off their frequencies for a sound card's clock; a clock typed
  // for the card that recorded is corrected in the rate instead.
  if (!options.ppm && recorded.ppm.value_or(0.0) != 0.0) {
    tones.ppm = *recorded.ppm;
    taken.push_back("tones made for a clock " + numberText(tones.ppm) + " ppm fast");
  }
  return tones;
}

void sayFollowed(std::string_view command, const std::vector<std::string>& taken) {
  if (taken.empty()) {
    return;
  }
  std::string settings;
  for (const std::string& each : taken) {
    settings += (settings.empty() ? "" : ", ") + each;
  }
  say(command, "as the recording says it was keyed: " + settings);
}

std::pair<double, double> keyedBand(const ToneInputs& keyed) {
  std::vector<double> tones{keyed.dotHz, keyed.dashHz};
  if (!hasSilentPauses(keyed.mode)) {
    tones.push_back(keyed.idleHz);
  }
  const auto [lowest, highest] = std::minmax_element(tones.begin(), tones.end());
  return keyed.invert ? std::pair(-*highest, -*lowest) : std::pair(*lowest, *highest);
}

decode::DecoderSettings decoderSettings(const ToneInputs& tones,
                                        const std::optional<std::string>& searchText,
                                        double rateHz) {
  const double sign = (tones.invert ? -1.0 : 1.0) / (1.0 + tones.ppm * kPpmScale);
  decode::DecoderSettings settings;
  settings.sampleRateHz = rateHz;
  settings.mode = tones.mode;
  settings.toneHz = {sign * tones.idleHz, sign * tones.dotHz, sign * tones.dashHz};
  settings.symbolSeconds = tones.SymbolLength;
  settings.gapSeconds = tones.InterSymbol;
  if (searchText) {
    settings.searchHz = readNumber(*searchText);
    settings.searchChosen = true;
  }
  return settings;
}

void addSoughtOptions(CLI::App& command, SoughtOptions& options) {
  constexpr std::array kShapingBoxes{Box::IdleFreq, Box::DotFreq, Box::DashFreq, Box::SymbLen,
                                     Box::Intgap};
  addBoxOptions(command, kShapingBoxes, options.boxTexts);
  addModeOptions(command, options.mode, options.freqText, options.shiftText);
  CLI::Option* invert =
      command.add_flag("--invert", options.invert,
                       "The I/Q recording was keyed inverted: tones at negative frequencies");
  command
      .add_flag("--no-invert", options.notInverted,
                "The I/Q recording was not keyed inverted, whatever it says")
      ->excludes(invert);
}

double rateOption(const std::string& rateText) {
  const double rate = readNumber(rateText);
  if (!(rate >= 1.0) || rate > kMaxSampleRateHz || rate != std::floor(rate)) {
    throw Refusal("--rate must be a whole number of hertz from 1 to " +
                  std::to_string(kMaxSampleRateHz));
  }
  return rate;
}

void addSourceOptions(CLI::App& command, std::string& input, bool& live, std::string& device,
                      const std::string& liveHelp) {
  CLI::Option* liveFlag = command.add_flag("--live", live, liveHelp);
  command
      .add_option("--device", device,
                  "The source to record with --live (default: the server's default source)")
      ->needs(liveFlag)
      ->option_text("SOURCE");
  CLI::Option* file = command.add_option("FILE", input, "The recording, or - for standard input")
                          ->option_text("FILE|-");
  file->excludes(liveFlag);
  liveFlag->excludes(file);
}

CLI::App* addDecodeCommand(CLI::App& app, DecodeOptions& options) {
  CLI::App* decode = app.add_subcommand(
      "decode",
      "Read the keying back out of a recording: a WAV file (stereo I/Q, or mono audio from a "
      "receiver), a SigMF recording, or raw s16le I/Q frames on standard input. The start, "
      "level, phase and a small, drifting frequency offset need not be known.");
  // The keying options that shape what is looked for, as `render` takes them; the level is found.
  addSoughtOptions(*decode, options.sought);
  const CLI::Validator number = numberValidator();
  decode
      ->add_option("--search", options.searchText,
                   "Look for the tones within this many Hz of their frequencies where each "
                   "transmission starts (default 3, or less where the tones lie so close that "
                   "one could be taken for another)")
      ->check(number)
      ->option_text("HZ");
  decode
      ->add_option("--drift", options.driftText,
                   "Follow the tones as they move by up to this many Hz a minute (default 6)")
      ->check(number)
      ->option_text("HZ_PER_MINUTE");
  decode
      ->add_option("--rate", options.rateText,
                   "Sample rate of raw frames on standard input, or to record at with --live, "
                   "in Hz (default 11025)")
      ->check(number)
      ->option_text("HZ");
  decode->add_flag("-v,--verbose", options.verbose,
                   "On standard error: each transmission's start, end, offset, drift and SNR, the "
                   "symbol timing, steady carriers taken out and each character's time and "
                   "confidence");
  decode
      ->add_option("--annotate", options.annotate,
                   "Write what was decoded as SigMF annotations into this .sigmf-meta file")
      ->option_text("FILE.sigmf-meta");
  addSourceOptions(
      *decode, options.input, options.live, options.device,
      "Decode a sound server's source as it comes, printing characters as they are decided");
  decode->footer(
      "Prints the text in upper case, one line per transmission, one blank between words, ? for "
      "a character that cannot be read. Exit status 0 decoded (even if nothing), 1 unreadable, 2 "
      "usage.\n"
      "Examples:\n"
      "  bitoner decode cq.wav\n"
      "  bitoner decode --symbol 3 --verbose --annotate cq-read.sigmf-meta cq.sigmf-data\n"
      "  bitoner render -o - CQ | bitoner decode -");
  return decode;
}

int runDecode(const DecodeOptions& options) {
  return reportOutcome("decode", [&options] { return decodeRecording(options); });
}

}  // namespace bitoner::cli
