// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/sigmf.h"

#include <algorithm>
#include <ctime>
#include <nlohmann/json.hpp>

#include "engine/keying_steps.h"
#include "engine/parameters.h"
#include "recording/recorded_keying.h"
#include "recording/version.h"

namespace bitoner {

namespace {

constexpr std::string_view kLoopIdleLabel = "loop idle";

std::string dotsAndDashes(std::string_view pattern) {
  std::string shown(pattern);
  std::replace(shown.begin(), shown.end(), '0', '.');
  std::replace(shown.begin(), shown.end(), '1', '-');
  return shown;
}

// The global object's keys that every metadata file of ours begins with: SigMF's version, the
// recording's shape, and the declared extension that holds our own keys.
nlohmann::ordered_json globalObject(std::string_view datatype,
                                    const nlohmann::ordered_json& sampleRateHz) {
  return nlohmann::ordered_json{
      {"core:datatype", datatype},
      {"core:sample_rate", sampleRateHz},
      {"core:version", kSigmfVersion},
      {"core:num_channels", 1},
      {"core:recorder", "Bitoner " + std::string(programVersion())},
      {"core:extensions",
       nlohmann::ordered_json::array(
           {{{"name", "bitoner"}, {"version", kSigmfExtensionVersion}, {"optional", true}}})},
  };
}

// An annotation's keys for one character, or a Loop's idle symbol when `character` is 0.
nlohmann::ordered_json annotationObject(std::int64_t start, std::int64_t count, char32_t character,
                                        std::string_view pattern) {
  nlohmann::ordered_json annotation{
      {"core:sample_start", start},
      {"core:sample_count", count},
  };
  if (character == 0) {
    annotation["core:label"] = kLoopIdleLabel;
  } else {
    annotation["core:label"] = toUtf8(std::u32string(1, character));
    annotation["core:comment"] = dotsAndDashes(pattern);
  }
  return annotation;
}

}  // namespace

SigmfMetaWriter::SigmfMetaWriter(OutputFile& out, const ToneInputs& tones,
                                 std::optional<double> frequencyHz,
                                 const std::optional<NoisePlan>& noise)
    : out_(out), tones_(tones), noise_(noise) {
  const double sign = tones.invert ? -1.0 : 1.0;
  frequencyHz_[static_cast<std::size_t>(Tone::Idle)] = sign * tones.idleHz;
  frequencyHz_[static_cast<std::size_t>(Tone::Gap)] = sign * tones.idleHz;
  frequencyHz_[static_cast<std::size_t>(Tone::Dot)] = sign * tones.dotHz;
  frequencyHz_[static_cast<std::size_t>(Tone::Dash)] = sign * tones.dashHz;
  for (double& f : frequencyHz_) {
    f += frequencyHz.value_or(0.0);
  }
  out_.write(std::string("{\n\"annotations\": ["));
}

void SigmfMetaWriter::annotate(const Segment& segment) {
  nlohmann::ordered_json annotation = annotationObject(
      segment.start, segment.count, segment.kind == Segment::Kind::LoopIdle ? 0 : segment.character,
      segment.pattern);
  std::optional<double> lowest;
  std::optional<double> highest;
  for (const Tone tone : kTones) {
    if (segment.sounds[static_cast<std::size_t>(tone)]) {
      const double f = frequencyHz_[static_cast<std::size_t>(tone)];
      lowest = std::min(lowest.value_or(f), f);
      highest = std::max(highest.value_or(f), f);
    }
  }
  if (lowest && highest) {
    annotation["core:freq_lower_edge"] = *lowest;
    annotation["core:freq_upper_edge"] = *highest;
  }
  out_.write((first_ ? "\n" : ",\n") + annotation.dump());
  first_ = false;
}

void SigmfMetaWriter::finish(const SigmfCapture& capture, const std::string& description) {
  nlohmann::ordered_json captureObject{{"core:sample_start", 0}};
  if (capture.frequencyHz) {
    captureObject["core:frequency"] = *capture.frequencyHz;
  }
  captureObject["core:datetime"] = capture.datetime;

  nlohmann::ordered_json global =
      globalObject(capture.format == SampleFormat::Cf32 ? "cf32_le" : "ci16_le", tones_.Fsample);
  global["core:sha512"] = capture.sha512;
  global["core:description"] = description;
  writeRecordedKeying(global, tones_);
  global["bitoner:shape"] = tones_.smooth ? "smooth" : "hard";
  global["bitoner:ppm"] = tones_.ppm;
  if (noise_) {
    global["bitoner:snr_db"] = noise_->snrDb;
    global["bitoner:snr_bandwidth_hz"] = kSnrBandwidthHz;
    global["bitoner:noise_seed"] = noise_->seed;
    global["bitoner:scale"] = noise_->scale;
  }
  if (tones_.smooth) {
    const double rate = tones_.Fsample;
    global["bitoner:glide_length"] = static_cast<double>(tones_.smooth->glideFrames) / rate;
    global["bitoner:ramp_length"] = static_cast<double>(tones_.smooth->rampFrames) / rate;
  }
  out_.write(std::string(first_ ? "],\n" : "\n],\n") +
             "\"captures\": " + nlohmann::ordered_json::array({captureObject}).dump() +
             ",\n\"global\": " + global.dump(1) + "\n}\n");
}

std::string sigmfDatetime(std::chrono::system_clock::time_point when) {
  const auto millis = std::chrono::floor<std::chrono::milliseconds>(when);
  const std::time_t seconds =
      std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(millis));
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  const auto fraction = (millis.time_since_epoch() % std::chrono::seconds(1)).count();
  return std::string(text, length) + "." + std::to_string(1000 + fraction).substr(1) + "Z";
}

void writeDecodedSigmf(OutputFile& out, const DecodedRecording& recording,
                       std::span<const DecodedTransmission> transmissions,
                       std::span<const DecodedAnnotation> annotations) {
  nlohmann::ordered_json global = globalObject(recording.datatype, recording.sampleRateHz);
  global["core:description"] =
      "Decoded by Bitoner from " + recording.source + ": \"" + recording.text + "\"";
  global["bitoner:decoded_text"] = recording.text;
  global["bitoner:offset_hz"] = recording.offsetHz;
  global["bitoner:snr_db"] = recording.snrDb;
  const std::string generator = "Bitoner " + std::string(programVersion()) + " decoder";
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const DecodedTransmission& t : transmissions) {
    nlohmann::ordered_json annotation{{"core:sample_start", t.start},
                                      {"core:sample_count", t.count},
                                      {"core:label", t.text},
                                      {"core:comment", "transmission"},
                                      {"core:generator", generator},
                                      {"core:freq_lower_edge", t.lowerHz},
                                      {"core:freq_upper_edge", t.upperHz}};
    if (!t.startUtc.empty()) {
      annotation["bitoner:start_utc"] = t.startUtc;
    }
    annotation["bitoner:drift_hz_per_minute"] = t.driftHzPerMinute;
    annotation["bitoner:snr_db"] = t.snrDb;
    list.push_back(std::move(annotation));
  }
  for (const DecodedAnnotation& a : annotations) {
    nlohmann::ordered_json annotation = annotationObject(a.start, a.count, a.character, a.pattern);
    annotation["core:generator"] = generator;
    annotation["core:freq_lower_edge"] = a.lowerHz;
    annotation["core:freq_upper_edge"] = a.upperHz;
    annotation["bitoner:confidence"] = a.confidence;
    list.push_back(std::move(annotation));
  }
  nlohmann::ordered_json capture{{"core:sample_start", 0}};
  if (!recording.datetime.empty()) {
    capture["core:datetime"] = recording.datetime;
  }
  const nlohmann::ordered_json meta{
      {"global", global}, {"captures", {capture}}, {"annotations", list}};
  out.write(meta.dump(1) + "\n");
}

}  // namespace bitoner
