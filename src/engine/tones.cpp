// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/tones.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>
#include <vector>

#include "engine/parameters.h"
#include "engine/wav_writer.h"

namespace bitoner {

namespace {

// Radians per cycle, to exactly these digits: the tone files are fixed bit for bit with it, so it
// must not be replaced by a full-precision 2 pi.
constexpr double kRadiansPerCycle = 6.283185307178;
// Rounded samples stay within 16 bits as long as the amplitude does not exceed full scale.
constexpr double kMaxAmplitude = kFullScale;

std::string numberText(double value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return std::string(text, end);
}

[[noreturn]] void refuse(std::string_view fileName, const std::string& cause) {
  throw ToneError("The tone file " + std::string(fileName) + " cannot be made: " + cause + ".");
}

struct ToneSource {
  std::string_view fileName;
  const std::string& frequencyText;
  double duration;
};

TonePlan planTone(const ToneSource& source, const ToneInputs& inputs) {
  const double frequency = readNumber(source.frequencyText);
  const double step = frequency / inputs.Fsample;
  if (!std::isfinite(step)) {
    refuse(source.fileName,
           "the frequency \"" + source.frequencyText + "\" is too large to compute with");
  }

  const double exactFrames = std::nearbyint(inputs.Fsample * source.duration);
  if (std::isnan(exactFrames)) {
    refuse(source.fileName, "its duration is not a number of seconds");
  }
  if (exactFrames > kMaxFrames) {
    refuse(source.fileName, "its duration of " + numberText(source.duration) +
                                " s needs more than " + std::to_string(kMaxFrames) +
                                " samples, the most a tone file can hold (about 13.5 hours)");
  }
  if (exactFrames < kMinFrames) {
    refuse(source.fileName,
           "its duration of " + numberText(source.duration) + " s is too far below zero");
  }
  const auto frames = static_cast<std::int32_t>(exactFrames);

  if (frames > 1 && !std::isfinite(static_cast<double>(frames - 1) * step * kRadiansPerCycle)) {
    refuse(source.fileName, "its frequency of " + numberText(frequency) +
                                " Hz and its duration together are too large to compute the tone");
  }
  return TonePlan{source.fileName, step, frames};
}

// Frames computed and written per round: a few kilobytes, whatever the tone's length.
constexpr std::int64_t kWriteChunkFrames = 4096;

// Counts the frames written of all four files for the progress callback.
struct WriteProgress {
  const ToneProgress& report;
  std::int64_t done = 0;
  std::int64_t total = 0;

  void add(std::int64_t frames) {
    done += frames;
    if (report && !report(done, total)) {
      throw ToneCancelled();
    }
  }
};

void writeTone(const TonePlan& plan, const ToneInputs& inputs,
               const std::filesystem::path& directory, WriteProgress& progress) {
  const std::filesystem::path target = directory / plan.fileName;
  try {
    WavWriter writer(target, inputs.Fsample, plan.frames);
    const ToneSynth synth(plan, inputs.Ampl, inputs.invert);
    std::vector<std::int16_t> chunk(static_cast<std::size_t>(kWriteChunkFrames) * kChannels);
    for (std::int64_t done = 0; done < plan.frames; done += kWriteChunkFrames) {
      const std::int64_t count = std::min<std::int64_t>(kWriteChunkFrames, plan.frames - done);
      const std::span<std::int16_t> part(chunk.data(), static_cast<std::size_t>(count) * kChannels);
      synth.render(done, part);
      for (std::size_t k = 0; k < part.size(); k += kChannels) {
        writer.append(part[k], part[k + 1]);
      }
      progress.add(count);
    }
    writer.commit();
  } catch (const std::system_error& error) {
    const std::string shownName = directory == "." ? std::string(plan.fileName) : target.string();
    throw ToneError("The tone file " + shownName +
                    " could not be written: " + error.code().message() + ".");
  }
}

}  // namespace

void ToneSynth::render(std::int64_t first, std::span<std::int16_t> out) const {
  for (std::size_t k = 0; k + 1 < out.size(); k += kChannels) {
    const auto i = first + static_cast<std::int64_t>(k / kChannels);
    const double x = static_cast<double>(i) * step_;
    const double theta = x * kRadiansPerCycle;
    out[k] = static_cast<std::int16_t>(std::nearbyint(std::cos(theta) * amplitude_));
    const auto q = static_cast<std::int16_t>(std::nearbyint(std::sin(theta) * amplitude_));
    out[k + 1] = invert_ ? static_cast<std::int16_t>(-q) : q;
  }
}

ToneBank::ToneBank(const ToneInputs& inputs) {
  const std::array<TonePlan, 4> plans = planTones(inputs);
  entries_.reserve(plans.size());
  for (const TonePlan& plan : plans) {
    Entry entry{plan, ToneSynth(plan, inputs.Ampl, inputs.invert), std::max(0, plan.frames), {}};
    if (entry.frames <= kKeptFramesLimit) {
      entry.kept.resize(static_cast<std::size_t>(entry.frames) * kChannels);
      entry.synth.render(0, entry.kept);
    }
    entries_.push_back(std::move(entry));
  }
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

std::array<TonePlan, 4> planTones(const ToneInputs& inputs) {
  if (inputs.Fsample < 1 || inputs.Fsample > kMaxSampleRateHz) {
    refuse(kToneFileNames[0],
           "the sample rate of " + std::to_string(inputs.Fsample) + " Hz is not usable");
  }
  if (!(std::fabs(inputs.Ampl) <= kMaxAmplitude)) {
    refuse(kToneFileNames[0],
           "the amplitude " + numberText(inputs.Ampl) + " does not fit a 16-bit sample");
  }
  const std::array<ToneSource, 4> sources{{
      {kToneFileNames[0], inputs.idleFreqText, inputs.SymbolLength},
      {kToneFileNames[1], inputs.idleFreqText, inputs.InterSymbol},
      {kToneFileNames[2], inputs.dotFreqText, inputs.SymbolLength},
      {kToneFileNames[3], inputs.dashFreqText, inputs.SymbolLength},
  }};
  std::array<TonePlan, 4> plans;
  for (std::size_t k = 0; k < sources.size(); ++k) {
    plans[k] = planTone(sources[k], inputs);
  }
  return plans;
}

void MakeTones(const ToneInputs& inputs, const std::filesystem::path& directory,
               const ToneProgress& progress) {
  // Every file is checked first: a refusal must not leave some files new and others old.
  const std::array<TonePlan, 4> plans = planTones(inputs);
  WriteProgress written{progress};
  for (const TonePlan& plan : plans) {
    written.total += std::max(0, plan.frames);
  }
  for (const TonePlan& plan : plans) {
    writeTone(plan, inputs, directory, written);
  }
}

}  // namespace bitoner
