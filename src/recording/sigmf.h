// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/noise.h"
#include "engine/tones.h"
#include "recording/output_file.h"
#include "recording/recording.h"
#include "recording/recording_names.h"

namespace bitoner {

// What a SigMF recording says of itself beyond its tones and segments.
struct SigmfCapture {
  SampleFormat format = SampleFormat::Ci16;
  std::optional<double> frequencyHz;  // RF frequency of baseband 0
  std::string datetime;               // UTC, "...Z"
  std::string sha512;                 // of the data file, hexadecimal
};

// The SigMF metadata of a recording, streamed: one annotation per segment as it comes, so its
// size in memory does not grow with the recording, then the capture and the global object, which
// hold the data file's digest. Keys of our own are in the declared extension "bitoner".
class SigmfMetaWriter {
 public:
  // `tones` gives the frequency of each tone; annotations give their edges at RF when
  // `frequencyHz` is given; noise added to the recording is stated in keys of the bitoner
  // namespace.
  SigmfMetaWriter(OutputFile& out, const ToneInputs& tones, std::optional<double> frequencyHz,
                  const std::optional<NoisePlan>& noise = std::nullopt);

  void annotate(const Segment& segment);
  // Closes the annotations and writes the capture and the global object; `description` goes into
  // core:description. The caller commits the file.
  void finish(const SigmfCapture& capture, const std::string& description);

 private:
  OutputFile& out_;
  const ToneInputs& tones_;
  std::optional<NoisePlan> noise_;
  std::array<double, 4> frequencyHz_{};  // indexed by Tone, signed as the spectrum shows it
  bool first_ = true;
};

// A time as SigMF's core:datetime gives it: UTC to the millisecond, "2026-12-08T14:00:03.250Z".
std::string sigmfDatetime(std::chrono::system_clock::time_point when);

// The version of SigMF the metadata follows, and of our extension.
inline constexpr std::string_view kSigmfVersion = "1.2.0";
// 1.1.0 added the tones (idle, dot and dash, or freq and shift) and the inversion.
inline constexpr std::string_view kSigmfExtensionVersion = "1.1.0";

// One character a decoder read in a recording, as a SigMF annotation states it.
struct DecodedAnnotation {
  std::int64_t start = 0;  // frames from the start of the recording
  std::int64_t count = 0;  // frames
  char32_t character = 0;
  std::string pattern;   // "0" a dot, "1" a dash
  double lowerHz = 0.0;  // the edges of the band the keying was read in
  double upperHz = 0.0;
  double confidence = 0.0;  // 0 to 1
};

// One transmission a decoder found in a recording, as a SigMF annotation states it.
struct DecodedTransmission {
  std::int64_t start = 0;  // frames from the start of the recording
  std::int64_t count = 0;  // frames
  std::string text;        // what it said
  double lowerHz = 0.0;    // the edges of the band its keying was read in, at its start
  double upperHz = 0.0;
  double driftHzPerMinute = 0.0;
  double snrDb = 0.0;
  std::string startUtc;  // "...Z" where the recording's start is known, else empty
};

// What was decoded from a whole recording.
struct DecodedRecording {
  std::string datatype;  // of the recording read, as SigMF names it
  double sampleRateHz = 0.0;
  std::string source;    // the recording's name, for core:description
  std::string datetime;  // the recording's start as its capture states it, else empty
  std::string text;      // the decoded text
  double offsetHz = 0.0;
  double snrDb = 0.0;
};

// Writes SigMF metadata of what the decoder read from a recording: one annotation per
// transmission and one per character, each with a core:generator naming the decoder. The caller
// commits the file.
void writeDecodedSigmf(OutputFile& out, const DecodedRecording& recording,
                       std::span<const DecodedTransmission> transmissions,
                       std::span<const DecodedAnnotation> annotations);

}  // namespace bitoner
