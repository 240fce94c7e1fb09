// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/tones.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/file_set.h"
#include "engine/parameters.h"
#include "engine/wav_writer.h"

namespace bitoner {

namespace {

// Radians per cycle, to exactly these digits: the tone files are fixed bit for bit with it, so it
// must not be replaced by a full-precision 2 pi.
constexpr double kRadiansPerCycle = 6.283185307178;
// Rounded samples stay within 16 bits as long as the amplitude does not exceed full scale.
constexpr double kMaxAmplitude = kFullScale;
constexpr double kPerMillion = 1e-6;

std::string numberText(double value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end);
}

// A length in the largest unit that keeps it above 1, to a tenth: "13.5 hours", "53.7 s".
std::string lengthText(double seconds) {
  constexpr double kSecondsPerMinute = 60.0;
  constexpr double kSecondsPerHour = 3600.0;
  const auto tenths = [](double value) { return numberText(std::round(value * 10) / 10); };
  if (seconds >= kSecondsPerHour) {
    return tenths(seconds / kSecondsPerHour) + " hours";
  }
  if (seconds >= kSecondsPerMinute) {
    return tenths(seconds / kSecondsPerMinute) + " minutes";
  }
  return tenths(seconds) + " s";
}

[[noreturn]] void refuse(std::string_view fileName, const std::string& cause) {
  throw ToneError("The tone file " + std::string(fileName) + " cannot be made: " + cause + ".",
                  fileName, cause);
}

struct ToneSource {
  std::string_view fileName;
  double frequencyHz;
  const std::string& typed;  // empty: nothing was typed for it
  double duration;
  std::int32_t symbols = 1;  // the tone lasts this many times the duration's frames
  bool silent = false;
};

TonePlan planTone(const ToneSource& source, const ToneInputs& inputs) {
  const double frequency = source.frequencyHz;
  // Without a correction the step is the plain quotient, bit for bit.
  const double made = inputs.ppm == 0.0 ? frequency : frequency / (1.0 + inputs.ppm * kPerMillion);
  const double step = made / inputs.Fsample;
  if (!std::isfinite(step)) {
    const std::string quoted =
        source.typed.empty() ? numberText(frequency) + " Hz" : "\"" + source.typed + "\"";
    refuse(source.fileName, "the frequency " + quoted + " is too large to compute with");
  }

  const double exactFrames = std::nearbyint(inputs.Fsample * source.duration) * source.symbols;
  if (std::isnan(exactFrames)) {
    refuse(source.fileName, "its duration is not a number of seconds");
  }
  if (exactFrames > kMaxFrames) {
    refuse(source.fileName, "its duration of " + numberText(source.duration * source.symbols) +
                                " s needs more than " + std::to_string(kMaxFrames) +
                                " samples, the most a tone file can hold (about " +
                                lengthText(kMaxFrames / static_cast<double>(inputs.Fsample)) +
                                " at " + std::to_string(inputs.Fsample) + " Hz)");
  }
  if (exactFrames < kMinFrames) {
    refuse(source.fileName, "its duration of " + numberText(source.duration * source.symbols) +
                                " s is too far below zero");
  }
  const auto frames = static_cast<std::int32_t>(exactFrames);

  if (frames > 1 && !std::isfinite(static_cast<double>(frames - 1) * step * kRadiansPerCycle)) {
    refuse(source.fileName, "its frequency of " + numberText(frequency) +
                                " Hz and its duration together are too large to compute the tone");
  }
  return TonePlan{source.fileName, step, frames, source.silent};
}

// Frames computed and written per round: a few kilobytes, whatever the tone's length.
constexpr std::int64_t kWriteChunkFrames = 4096;

std::string shownName(const std::filesystem::path& directory, std::string_view fileName) {
  return directory == "." ? std::string(fileName) : (directory / fileName).string();
}

[[noreturn]] void failed(const std::filesystem::path& directory, std::string_view fileName,
                         int error) {
  throw ToneError("The tone file " + shownName(directory, fileName) +
                  " could not be written: " + std::generic_category().message(error) + ".");
}

// Counts the frames of the whole set and asks whether to go on.
class WriteProgress {
 public:
  WriteProgress(const ToneProgress& progress, const std::array<TonePlan, 4>& plans)
      : progress_(progress) {
    for (const TonePlan& plan : plans) {
      total_ += std::max(0, plan.frames);
    }
  }

  void advance(std::int64_t frames) {
    done_ += frames;
    if (progress_ && !progress_(done_, total_)) {
      throw ToneCancelled();
    }
  }

 private:
  const ToneProgress& progress_;
  std::int64_t done_ = 0;
  std::int64_t total_ = 0;
};

// Frames first .. first + out.size() / 2 - 1 of the tone being written.
using FrameSource = std::function<void(std::int64_t first, std::span<std::int16_t> out)>;

std::unique_ptr<WavWriter> writeTone(const TonePlan& plan, std::int32_t Fsample,
                                     const FrameSource& source,
                                     const std::filesystem::path& directory,
                                     WriteProgress& progress) {
  try {
    auto writer = std::make_unique<WavWriter>(directory / plan.fileName, Fsample, plan.frames);
    std::vector<std::int16_t> chunk(static_cast<std::size_t>(kWriteChunkFrames) * kChannels);
    for (std::int64_t done = 0; done < plan.frames; done += kWriteChunkFrames) {
      const std::int64_t count = std::min<std::int64_t>(kWriteChunkFrames, plan.frames - done);
      const std::span<std::int16_t> part(chunk.data(), static_cast<std::size_t>(count) * kChannels);
      source(done, part);
      for (std::size_t k = 0; k < part.size(); k += kChannels) {
        writer->append(part[k], part[k + 1]);
      }
      progress.advance(count);
    }
    writer->finish();
    return writer;
  } catch (const std::system_error& error) {
    failed(directory, plan.fileName, error.code().value());
  }
}

// Removes the temporary tone files that writers killed before they could clean up left behind.
void removeLeftovers(const std::filesystem::path& directory) {
  removeDeadTemporaries(directory, [](std::string_view target) {
    return std::find(kToneFileNames.begin(), kToneFileNames.end(), target) != kToneFileNames.end();
  });
}

// Moves the finished temporaries over the tone files as one set.
void replaceSet(const std::filesystem::path& directory,
                const std::vector<std::unique_ptr<WavWriter>>& writers) {
  std::vector<FileMove> moves;
  for (const auto& writer : writers) {
    moves.push_back({writer->temporary(), writer->target()});
  }
  if (const auto failure = replaceTogether(moves)) {
    failed(directory, writers[failure->index]->target().filename().string(), failure->error);
  }
}

// A stretch of a tone to compute, as handed to one thread.
struct SynthPart {
  const ToneSynth* synth;
  std::int64_t first;
  std::span<std::int16_t> out;
};

// Small enough to share a few seconds of tone among the cores, large enough that handing out a
// part costs nothing beside computing it.
constexpr std::int64_t kPartFrames = 16384;

unsigned usableCores() {
  cpu_set_t cores;
  CPU_ZERO(&cores);
  if (::sched_getaffinity(0, sizeof cores, &cores) != 0) {
    return 1;
  }
  return static_cast<unsigned>(std::max(1, CPU_COUNT(&cores)));
}

// Frame k of a tone is the same whichever thread computes it, so the parts may go to as many
// threads as there are cores. Where no thread can be started, this one computes the rest.
void synthesiseInParallel(const std::vector<SynthPart>& parts) {
  std::atomic<std::size_t> next{0};
  const auto work = [&parts, &next] {
    for (std::size_t k = next++; k < parts.size(); k = next++) {
      parts[k].synth->render(parts[k].first, parts[k].out);
    }
  };
  std::vector<std::jthread> helpers;
  const std::size_t wanted = std::min<std::size_t>(usableCores(), parts.size());
  for (std::size_t k = 1; k < wanted; ++k) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
}

}  // namespace

void ToneSynth::render(std::int64_t first, std::span<std::int16_t> out) const {
  if (amplitude_ == 0.0) {
    std::fill(out.begin(), out.end(), std::int16_t{0});
    return;
  }
  for (std::size_t k = 0; k + 1 < out.size(); k += kChannels) {
    const auto i = first + static_cast<std::int64_t>(k / kChannels);
    const double x = static_cast<double>(i) * step_;
    const double theta = x * kRadiansPerCycle;
    out[k] = static_cast<std::int16_t>(std::nearbyint(std::cos(theta) * amplitude_));
    const auto q = static_cast<std::int16_t>(std::nearbyint(std::sin(theta) * amplitude_));
    out[k + 1] = invert_ ? static_cast<std::int16_t>(-q) : q;
  }
}

void ToneSynth::render(std::int64_t first, std::span<float> out) const {
  if (amplitude_ == 0.0) {
    std::fill(out.begin(), out.end(), 0.0F);
    return;
  }
  const double scale = amplitude_ / kFloatFullScale;
  for (std::size_t k = 0; k + 1 < out.size(); k += kChannels) {
    const auto i = first + static_cast<std::int64_t>(k / kChannels);
    const double theta = static_cast<double>(i) * step_ * kRadiansPerCycle;
    out[k] = static_cast<float>(std::cos(theta) * scale);
    const double q = std::sin(theta) * scale;
    out[k + 1] = static_cast<float>(invert_ ? -q : q);
  }
}

ToneBank::ToneBank(const ToneInputs& inputs, std::int64_t keptFramesLimit)
    : sampleRateHz_(inputs.Fsample),
      amplitude_(inputs.Ampl),
      inverted_(inputs.invert),
      smooth_(inputs.smooth),
      mode_(inputs.mode) {
  const std::array<TonePlan, 4> plans = planTones(inputs);
  entries_.reserve(plans.size());
  std::vector<SynthPart> parts;
  for (const TonePlan& plan : plans) {
    Entry& entry = entries_.emplace_back(
        Entry{plan, ToneSynth(plan, inputs.Ampl, inputs.invert), std::max(0, plan.frames), {}, {}});
    if (entry.frames <= keptFramesLimit) {
      const auto samples = static_cast<std::size_t>(entry.frames) * kChannels;
      entry.keptStore = std::make_unique_for_overwrite<std::int16_t[]>(samples);
      entry.kept = std::span(entry.keptStore.get(), samples);
      for (std::int64_t first = 0; first < entry.frames; first += kPartFrames) {
        const std::int64_t count = std::min(kPartFrames, entry.frames - first);
        parts.push_back({&entry.synth, first,
                         entry.kept.subspan(static_cast<std::size_t>(first) * kChannels,
                                            static_cast<std::size_t>(count) * kChannels)});
      }
    }
  }
  synthesiseInParallel(parts);
}

void ToneBank::read(Tone tone, std::int64_t first, std::span<std::int16_t> out) const {
  const Entry& source = entry(tone);
  if (source.kept.empty()) {
    source.synth.render(first, out);
    return;
  }
  const auto offset = static_cast<std::size_t>(first) * kChannels;
  std::copy_n(source.kept.begin() + static_cast<std::ptrdiff_t>(offset), out.size(), out.begin());
}

void ToneBank::read(Tone tone, std::int64_t first, std::span<float> out) const {
  entry(tone).synth.render(first, out);
}

std::array<TonePlan, 4> planTones(const ToneInputs& inputs) {
  if (inputs.Fsample < 1 || inputs.Fsample > kMaxSampleRateHz) {
    refuse(kToneFileNames[0],
           "the sample rate of " + std::to_string(inputs.Fsample) + " Hz is not usable");
  }
  if (!(std::fabs(inputs.Ampl) <= kMaxAmplitude)) {
    refuse(kToneFileNames[0],
           "the amplitude " + numberText(inputs.Ampl) + " does not fit a 16-bit sample");
  }
  if (!(std::fabs(inputs.ppm) < 1.0 / kPerMillion)) {
    refuse(kToneFileNames[0],
           "the clock correction of " + numberText(inputs.ppm) + " ppm is not usable");
  }
  const bool morse = hasMorseTiming(inputs.mode);
  const bool silentPauses = hasSilentPauses(inputs.mode);
  const std::array<ToneSource, 4> sources{{
      {kToneFileNames[0], inputs.idleHz, inputs.typed.idle, inputs.SymbolLength,
       morse ? kCharacterEndDots : 1, silentPauses},
      {kToneFileNames[1], inputs.idleHz, inputs.typed.idle,
       morse ? inputs.SymbolLength : inputs.InterSymbol, 1, silentPauses},
      {kToneFileNames[2], inputs.dotHz, inputs.typed.dot, inputs.SymbolLength},
      {kToneFileNames[3], inputs.dashHz, inputs.typed.dash, inputs.SymbolLength,
       morse ? kDashDots : 1},
  }};
  std::array<TonePlan, 4> plans;
  for (std::size_t k = 0; k < sources.size(); ++k) {
    plans[k] = planTone(sources[k], inputs);
  }
  return plans;
}

ToneCancelled::ToneCancelled()
    : ToneError("Writing the tone files was cancelled; the previous files are unchanged.") {}

void MakeTones(const ToneInputs& inputs, const std::filesystem::path& directory,
               const ToneProgress& progress) {
  // Every file is checked first: a refusal must not leave some files new and others old.
  const std::array<TonePlan, 4> plans = planTones(inputs);
  removeLeftovers(directory);
  WriteProgress written(progress, plans);
  written.advance(0);
  // The writers keep their temporary files until they are destroyed: on any failure they go.
  std::vector<std::unique_ptr<WavWriter>> writers;
  for (const TonePlan& plan : plans) {
    const ToneSynth synth(plan, inputs.Ampl, inputs.invert);
    writers.push_back(writeTone(
        plan, inputs.Fsample,
        [&synth](std::int64_t first, std::span<std::int16_t> out) { synth.render(first, out); },
        directory, written));
  }
  replaceSet(directory, writers);
}

void MakeTones(const ToneBank& tones, std::int32_t Fsample, const std::filesystem::path& directory,
               const ToneProgress& progress) {
  std::array<TonePlan, 4> plans;
  for (const Tone tone : kTones) {
    plans[static_cast<std::size_t>(tone)] = tones.plan(tone);
  }
  removeLeftovers(directory);
  WriteProgress written(progress, plans);
  written.advance(0);
  std::vector<std::unique_ptr<WavWriter>> writers;
  for (const Tone tone : kTones) {
    writers.push_back(writeTone(
        tones.plan(tone), Fsample,
        [&tones, tone](std::int64_t first, std::span<std::int16_t> out) {
          tones.read(tone, first, out);
        },
        directory, written));
  }
  replaceSet(directory, writers);
}

}  // namespace bitoner
