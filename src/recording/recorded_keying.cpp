// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/recorded_keying.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <string_view>

#include "recording/recording_reader.h"

namespace bitoner {

namespace {

constexpr std::string_view kMode = "bitoner:mode";
constexpr std::string_view kSymbol = "bitoner:symbol_length";
constexpr std::string_view kGap = "bitoner:gap_length";
constexpr std::string_view kIdle = "bitoner:idle_hz";
constexpr std::string_view kDot = "bitoner:dot_hz";
constexpr std::string_view kDash = "bitoner:dash_hz";
constexpr std::string_view kFreq = "bitoner:freq_hz";
constexpr std::string_view kShift = "bitoner:shift_hz";
constexpr std::string_view kInverted = "bitoner:inverted";
constexpr std::string_view kPpm = "bitoner:ppm";
// A clock correction a tone can be made with: 1 + ppm / 1e6 stays positive and below 2.
constexpr double kMostPpm = 1e6;

// Reads one key's number, checked by `fits`, which `range` describes for the refusal.
class KeyReader {
 public:
  KeyReader(const nlohmann::json& global, const std::string& metaName)
      : global_(global), metaName_(metaName) {}

  template <typename Fits>
  std::optional<double> number(std::string_view key, Fits fits, const std::string& range) const {
    const auto found = global_.find(key);
    if (found == global_.end()) {
      return std::nullopt;
    }
    if (!found->is_number() || !std::isfinite(found->get<double>()) ||
        !fits(found->get<double>())) {
      throw fail(key, "is " + found->dump() + "; it must be " + range);
    }
    return found->get<double>();
  }

  InputError fail(std::string_view key, const std::string& why) const {
    return InputError(metaName_ + ": " + std::string(key) + " " + why);
  }

 private:
  const nlohmann::json& global_;
  const std::string& metaName_;
};

}  // namespace

void writeRecordedKeying(nlohmann::ordered_json& global, const ToneInputs& tones) {
  global[kMode] = modeName(tones.mode);
  global[kSymbol] = tones.SymbolLength;
  global[kGap] = tones.InterSymbol;
  switch (tones.mode) {
    case Mode::ThreeTone:
      global[kIdle] = tones.idleHz;
      [[fallthrough]];
    case Mode::Dfcw:
      global[kDot] = tones.dotHz;
      global[kDash] = tones.dashHz;
      break;
    case Mode::Fskcw:
      global[kShift] = tones.dotHz - tones.idleHz;
      [[fallthrough]];
    case Mode::Qrss:
      global[kFreq] = tones.dotHz;
      break;
  }
  global[kInverted] = tones.invert;
}

RecordedKeying readRecordedKeying(const nlohmann::json& global, double sampleRateHz,
                                  const std::string& metaName) {
  const KeyReader keys(global, metaName);
  RecordedKeying keying;
  if (const auto mode = global.find(kMode); mode != global.end()) {
    keying.mode = mode->is_string() ? modeNamed(mode->get<std::string>()) : std::nullopt;
    if (!keying.mode) {
      throw keys.fail(kMode, "is " + mode->dump() + "; it must be three-tone, dfcw, qrss or fskcw");
    }
  }
  keying.symbolSeconds = keys.number(
      kSymbol, [](double s) { return s > 0.0; }, "a length in seconds above 0");
  keying.gapSeconds = keys.number(
      kGap, [](double s) { return s >= 0.0; }, "a length in seconds of 0 or more");
  const double nyquistHz = sampleRateHz / 2.0;
  const auto tone = [nyquistHz](double hz) { return std::fabs(hz) < nyquistHz; };
  const std::string toneRange = "a frequency in Hz within half the sample rate";
  keying.idleHz = keys.number(kIdle, tone, toneRange);
  keying.dotHz = keys.number(kDot, tone, toneRange);
  keying.dashHz = keys.number(kDash, tone, toneRange);
  keying.freqHz = keys.number(kFreq, tone, toneRange);
  keying.shiftHz = keys.number(
      kShift, [&](double hz) { return tone(keying.freqHz.value_or(0.0) - hz); },
      "a shift in Hz that keeps the key-up tone within half the sample rate");
  if (const auto inverted = global.find(kInverted); inverted != global.end()) {
    if (!inverted->is_boolean()) {
      throw keys.fail(kInverted, "is " + inverted->dump() + "; it must be true or false");
    }
    keying.inverted = inverted->get<bool>();
  }
  keying.ppm = keys.number(
      kPpm, [](double ppm) { return std::fabs(ppm) < kMostPpm; },
      "a clock correction in ppm between -1000000 and 1000000");
  return keying;
}

}  // namespace bitoner
