#include "tones/tones.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>

#include "tones/wav_writer.h"
#include "ui/parameters.h"

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

void writeTone(const TonePlan& plan, const ToneInputs& inputs,
               const std::filesystem::path& directory) {
  const std::filesystem::path target = directory / plan.fileName;
  try {
    WavWriter writer(target, inputs.Fsample, plan.frames);
    for (std::int32_t i = 0; i < plan.frames; ++i) {
      const double x = static_cast<double>(i) * plan.step;
      const double theta = x * kRadiansPerCycle;
      const auto sampleI = static_cast<std::int16_t>(std::nearbyint(std::cos(theta) * inputs.Ampl));
      auto sampleQ = static_cast<std::int16_t>(std::nearbyint(std::sin(theta) * inputs.Ampl));
      if (inputs.invert) {
        sampleQ = static_cast<std::int16_t>(-sampleQ);
      }
      writer.append(sampleI, sampleQ);
    }
    writer.commit();
  } catch (const std::system_error& error) {
    const std::string shownName = directory == "." ? std::string(plan.fileName) : target.string();
    throw ToneError("The tone file " + shownName +
                    " could not be written: " + error.code().message() + ".");
  }
}

}  // namespace

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

void MakeTones(const ToneInputs& inputs, const std::filesystem::path& directory) {
  // Every file is checked first: a refusal must not leave some files new and others old.
  const std::array<TonePlan, 4> plans = planTones(inputs);
  for (const TonePlan& plan : plans) {
    writeTone(plan, inputs, directory);
  }
}

}  // namespace bitoner
