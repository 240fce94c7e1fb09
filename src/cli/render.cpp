// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/render.h"

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <system_error>

#include "engine/file_set.h"
#include "engine/tones.h"
#include "engine/wav_writer.h"
#include "keying/fixed_run.h"
#include "recording/noisy_frames.h"
#include "recording/output_file.h"
#include "recording/recording.h"
#include "recording/sigmf.h"
#include "signals/stop_signals.h"

namespace bitoner::cli {

namespace {

enum class Format : std::uint8_t { Wav, Sigmf, Raw };

Format formatOf(const std::string& output) {
  if (output == OutputFile::kStandardOutput) {
    return Format::Raw;
  }
  if (hasSuffix(output, kWavSuffix)) {
    return Format::Wav;
  }
  if (isSigmfName(output)) {
    return Format::Sigmf;
  }
  throw Refusal("cannot tell the format of \"" + output +
                "\" from its name: give a name ending in .wav, .sigmf-data or .sigmf-meta, or - "
                "for raw frames on standard output");
}

std::string hoursText(std::int64_t frames, std::int32_t rateHz) {
  constexpr double kSecondsPerHour = 3600.0;
  char text[32];
  const double hours = static_cast<double>(frames) / rateHz / kSecondsPerHour;
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, hours, std::chars_format::fixed, 1);
  return std::string(text, end) + " hours";
}

// The frames of the render, counted without writing them; stops counting once the
// count passes `limit`.
std::int64_t countFrames(const ToneBank& tones, const RunPlan& plan, std::int64_t loopPasses,
                         std::int64_t limit) {
  return countFixedRunFrames(tones, {plan.message, loopPasses}, limit) + tailFrames(tones);
}

SampleFormat sampleFormat(const RenderOptions& options) {
  return options.format == "cf32" ? SampleFormat::Cf32 : SampleFormat::Ci16;
}

// The UTC time a SigMF capture starts: --start as given, checked, or now.
std::string captureTime(const std::optional<std::string>& start) {
  if (!start) {
    return sigmfDatetime(std::chrono::system_clock::now());
  }
  // YYYY-MM-DDTHH:MM:SS, an optional fraction of digits, and Z.
  std::tm parts{};
  const char* rest = strptime(start->c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (rest != nullptr && *rest == '.') {
    ++rest;
    const char* digits = rest;
    while (std::isdigit(static_cast<unsigned char>(*rest)) != 0) {
      ++rest;
    }
    if (rest == digits) {
      rest = nullptr;
    }
  }
  if (rest == nullptr || std::string_view(rest) != "Z") {
    throw Refusal("--start: \"" + *start +
                  "\" is not a time in UTC; give it as 2026-12-08T14:00:00Z");
  }
  return *start;
}

// The noise of a render and the scale that keeps it from clipping, worked out before anything is
// written: the noise is drawn once to find its peak, then drawn again from the same seed.
std::optional<NoisePlan> planNoise(const ToneBank& tones, const RunPlan& plan,
                                   const RenderOptions& options) {
  if (!options.snrDb) {
    return std::nullopt;
  }
  const FixedRun run{plan.message, options.loopPasses};
  NoisePlan noise;
  noise.snrDb = *options.snrDb;
  noise.seed = options.seed.value_or(0);
  noise.sigma = noiseSigmaFor(meanPower(tones, countFixedRunPlays(tones, run)), noise.snrDb,
                              plan.tones.Fsample);
  NoisyFrameWriter measure(tones, nullptr, noise.sigma, noise.seed, 1.0,
                           sampleFormat(options) == SampleFormat::Cf32);
  keyFixedRun(tones, run, measure);
  measure.finish();
  noise.scale = scaleForPeak(measure.peak());
  return noise;
}

// The frames of the whole render into `out`, each segment handed to `segment` once complete.
// Returns the frames written.
std::int64_t writeFrames(const ToneBank& tones, const RunPlan& plan, const RenderOptions& options,
                         const std::optional<NoisePlan>& noise, OutputFile& out,
                         const std::function<void(const Segment&)>& segment) {
  const FixedRun run{plan.message, options.loopPasses};
  if (noise) {
    NoisyFrameWriter writer(tones, &out, noise->sigma, noise->seed, noise->scale,
                            sampleFormat(options) == SampleFormat::Cf32);
    keyFixedRun(tones, run, writer, segment);
    writer.finish();
    return writer.frames();
  }
  FrameWriter writer(tones, out, sampleFormat(options));
  keyFixedRun(tones, run, writer, segment);
  writer.finish();
  return writer.frames();
}

std::int64_t renderWav(const ToneBank& tones, const RunPlan& plan, const RenderOptions& options,
                       const std::optional<NoisePlan>& noise) {
  const std::int64_t frames = countFrames(tones, plan, options.loopPasses, kMaxFrames);
  if (frames > kMaxFrames) {
    throw Refusal(
        "the recording is too long for a WAV file: a WAV file's 32-bit sizes hold at most " +
        std::to_string(kMaxFrames) + " frames (about " + hoursText(kMaxFrames, plan.tones.Fsample) +
        "), this one needs more; write a SigMF recording instead (-o NAME.sigmf-data)");
  }
  OutputFile out(options.output);
  const auto header = wavHeader(plan.tones.Fsample, static_cast<std::int32_t>(frames));
  out.write(std::as_bytes(std::span(header)));
  const std::int64_t written = writeFrames(tones, plan, options, noise, out, nullptr);
  out.commit();
  return written;
}

std::string writtenNames(const std::string& output, Format format) {
  if (format != Format::Sigmf) {
    return output;
  }
  const std::string base = sigmfBase(output);
  return base + std::string(kSigmfDataSuffix) + " and " + base + std::string(kSigmfMetaSuffix);
}

std::int64_t renderSigmf(const ToneBank& tones, const RunPlan& plan, const RenderOptions& options,
                         const std::optional<NoisePlan>& noise) {
  const std::string base = sigmfBase(options.output);
  OutputFile data(base + std::string(kSigmfDataSuffix));
  OutputFile meta(base + std::string(kSigmfMetaSuffix));
  const std::string datetime = captureTime(options.start);
  SigmfMetaWriter annotations(meta, plan.tones, options.frequencyHz, noise);
  Sha512 hash;
  data.digestInto(hash);
  const std::int64_t written =
      writeFrames(tones, plan, options, noise, data,
                  [&](const Segment& segment) { annotations.annotate(segment); });
  annotations.finish(SigmfCapture{sampleFormat(options), options.frequencyHz, datetime, hash.hex()},
                     describeRun(plan) + noiseDescription(noise));
  OutputFile* const pair[] = {&data, &meta};
  OutputFile::commitTogether(pair);
  return written;
}

std::int64_t renderRaw(const ToneBank& tones, const RunPlan& plan, const RenderOptions& options,
                       const std::optional<NoisePlan>& noise) {
  OutputFile out(OutputFile::kStandardOutput);
  const std::int64_t written = writeFrames(tones, plan, options, noise, out, nullptr);
  out.commit();
  return written;
}

// CLI11 would list -o among the options; the usage line shows that it is always given.
class RenderFormatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* /*app*/, std::string /*name*/) const override {
    return "Usage: bitoner render [OPTIONS] -o FILE MESSAGE...\n";
  }
};

}  // namespace

CLI::App* addRenderCommand(CLI::App& app, RenderOptions& options) {
  CLI::App* render = app.add_subcommand(
      "render",
      "Write a message as one I/Q recording, sample for sample what is keyed on the air: "
      "stereo 16-bit at 11025 Hz, I left, Q right. No display and no sound server needed.");
  render->formatter(std::make_shared<RenderFormatter>());
  render
      ->add_option("-o,--output", options.output,
                   "FILE.wav, FILE.sigmf-data or FILE.sigmf-meta (a SigMF pair with one "
                   "annotation per character), or - for raw frames on standard output (s16le, or "
                   "f32le with --format cf32)")
      ->required()
      ->option_text("FILE");
  render
      ->add_option("--loop", options.loopPasses,
                   "Render N passes of a Loop run, each followed by the Loop's extra idle symbol")
      ->check(passCount())
      ->option_text("N");
  render
      ->add_option("--format", options.format,
                   "Samples of a SigMF or raw recording: ci16 (16-bit, default) or cf32 (32-bit "
                   "float before rounding, 1.0 = 32767)")
      ->check(CLI::IsMember({"ci16", "cf32"}))
      ->option_text("ci16|cf32");
  render
      ->add_option("--frequency", options.frequencyHz,
                   "SigMF: the radio frequency in Hz of baseband 0 (core:frequency); the "
                   "annotations' edges are given at RF")
      ->check(CLI::Number)
      ->option_text("HZ");
  render
      ->add_option("--start", options.start,
                   "SigMF: the UTC time of the first frame, 2026-12-08T14:00:00Z (default: now)")
      ->option_text("TIME");
  addSignalOptions(*render, options.signal, kMaxFileRateHz, true);
  CLI::Option* snr =
      render
          ->add_option("--snr", options.snrDb,
                       "Add complex white Gaussian noise: signal power over the noise power in "
                       "2500 Hz, in dB (with --seed); the level is lowered just enough that "
                       "nothing clips")
          ->option_text("DB");
  CLI::Option* seed =
      render->add_option("--seed", options.seed, "The noise generator's seed, a whole number")
          ->option_text("N");
  snr->needs(seed);
  seed->needs(snr);
  render
      ->add_flag("--force", options.force,
                 "With -o -: write the frames to standard output even when it is a terminal")
      ->multi_option_policy(CLI::MultiOptionPolicy::Throw);
  addKeyingOptions(*render, options.keying);
  render->footer(
      "Examples:\n"
      "  bitoner render -o cq.wav CQ DE TEST\n"
      "  bitoner render --symbol 0.1 -o sos.sigmf-data SOS\n"
      "  bitoner render --shape smooth --rate 48000 -o beacon.sigmf-data VVV DE N0CALL\n"
      "  bitoner render --snr -20 --seed 1 -o noisy.wav CQ DE TEST\n"
      "  bitoner render -o - SOS | pacat --rate=11025 --channels=2");
  return render;
}

namespace {

int render(const RenderOptions& options) {
  // A signal only notes that it came, and blocked writes return, so that what is being written is
  // removed before the process ends. A closed terminal (SIGHUP) and a reader of standard output
  // that went (SIGPIPE) end it the same way.
  const StopSignals caught({SIGINT, SIGTERM, SIGHUP, SIGPIPE},
                           {.interruptCalls = true, .secondEndsProcess = false});
  try {
    RunPlan plan = planRun(options.keying);
    applySignalOptions(options.signal, plan);
    const Format format = formatOf(options.output);
    if (format != Format::Sigmf && (options.frequencyHz || options.start)) {
      throw Refusal(std::string(options.frequencyHz ? "--frequency" : "--start") +
                    ": only a SigMF recording (-o NAME.sigmf-data) carries it");
    }
    if (format == Format::Sigmf) {
      captureTime(options.start);  // a bad time is refused before anything is written
    }
    if (format == Format::Wav && sampleFormat(options) != SampleFormat::Ci16) {
      throw Refusal(
          "--format: a WAV file holds 16-bit samples only (ci16); write cf32 as a SigMF "
          "recording (-o NAME.sigmf-data) or raw (-o -)");
    }
    const std::shared_ptr<const ToneBank> tones = makeToneBank(plan.tones);
    if (format == Format::Raw && !options.force && ::isatty(STDOUT_FILENO) == 1) {
      throw Refusal(
          "standard output is a terminal, and the raw frames are binary: send them into a pipe "
          "or a file, or give --force");
    }
    if (countFrames(*tones, plan, options.loopPasses, 0) == 0) {
      throw Refusal(plan.message.empty()
                        ? std::string("the message is empty: there is nothing to render")
                        : "the recording would hold no frames: at " +
                              std::to_string(plan.tones.Fsample) +
                              " Hz every tone of the message is shorter than one sample "
                              "(--symbol, --gap)");
    }
    const std::int64_t pass =
        countFrames(*tones, plan, 0, std::numeric_limits<std::int64_t>::max()) - tailFrames(*tones);
    say("render", "one pass lasts " + secondsText(pass, plan.tones.Fsample) + " (" +
                      std::to_string(pass) + " frames)");
    const std::optional<NoisePlan> noise = planNoise(*tones, plan, options);
    if (format != Format::Raw) {
      // Renders killed before they could clean up (SIGKILL, a crash, a power cut) leave their
      // temporary files, which may be gigabytes: the next render into the directory removes them.
      removeDeadTemporaries(std::filesystem::path(options.output).parent_path(), isRecordingName);
    }
    std::int64_t frames = 0;
    switch (format) {
      case Format::Wav:
        frames = renderWav(*tones, plan, options, noise);
        break;
      case Format::Sigmf:
        frames = renderSigmf(*tones, plan, options, noise);
        break;
      case Format::Raw:
        frames = renderRaw(*tones, plan, options, noise);
        break;
    }
    if (format != Format::Raw) {
      say("render", "wrote " + writtenNames(options.output, format) + ": " +
                        std::to_string(frames) + " frames (" +
                        secondsText(frames, plan.tones.Fsample) + ")");
    }
    return kExitDone;
  } catch (const Interrupted& interrupted) {
    // Frames already handed to a pipe cannot be taken back; a file is removed whole.
    say("render", formatOf(options.output) == Format::Raw ? "interrupted"
                                                          : "interrupted; nothing was written");
    StopSignals::endBy(interrupted.signal());
  }
}

}  // namespace

int runRender(const RenderOptions& options) {
  return reportOutcome("render", [&options] { return render(options); });
}

}  // namespace bitoner::cli
