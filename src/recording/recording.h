// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/smooth.h"
#include "engine/tones.h"
#include "recording/noisy_frames.h"
#include "recording/output_file.h"

namespace bitoner {

// A stretch of a recording: one character from its first frame to the end of the idle symbol it
// ends with, or the extra idle symbol a Loop sends after a pass. Consecutive segments tile the
// recording.
struct Segment {
  enum class Kind : std::uint8_t { Character, LoopIdle };
  Kind kind = Kind::Character;
  std::int64_t start = 0;  // frames from the start of the recording
  std::int64_t count = 0;  // frames
  char32_t character = 0;
  std::string_view pattern;      // "0" a dot, "1" a dash
  std::array<bool, 4> sounds{};  // indexed by Tone: whether the tone is heard in it
};

// Walks the keying steps of a fixed message as GO plays them: one pass with Loop clear when
// `loopPasses` is 0, else that many passes of a Loop run, each followed by its extra idle symbol.
// `play` gets every tone in order and may return false to end the walk there; `segment` gets
// every segment of at least one frame once it is complete.
void walkRecording(const ToneBank& tones, std::u32string_view message, std::int64_t loopPasses,
                   const std::function<bool(Tone)>& play,
                   const std::function<void(const Segment&)>& segment);

// How the samples of a recording are stored: 16-bit integers, or 32-bit floats before rounding
// (full scale 1.0 = 32767); I then Q, little-endian.
enum class SampleFormat : std::uint8_t { Ci16, Cf32 };

// The frames of one transmission after its last tone: the fall of a smooth one, none for hard.
std::int64_t tailFrames(const ToneBank& tones);

// Writes the frames of tones in their shape and format to `out`, and counts them. A smooth
// transmission keeps one phase through the plays and ends with finish().
class FrameWriter {
 public:
  FrameWriter(const ToneBank& tones, OutputFile& out, SampleFormat format = SampleFormat::Ci16);

  void play(Tone tone);
  // Ends the transmission: a smooth one falls to silence over its ramp.
  void finish();
  std::int64_t frames() const { return frames_; }

 private:
  static constexpr std::size_t kChunkFrames = 8192;

  // The next `count` frames of the tone (from frame `first`) or of the smooth synthesis.
  void writeFrames(Tone tone, std::int64_t first, std::size_t count);

  const ToneBank& tones_;
  OutputFile& out_;
  SampleFormat format_;
  std::optional<SmoothSynth> smooth_;
  std::int64_t frames_ = 0;
  std::array<std::int16_t, kChunkFrames * kChannels> chunk_{};
  std::array<float, kChunkFrames * kChannels> floatChunk_{};
};

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

// The version of SigMF the metadata follows, and of our extension.
inline constexpr std::string_view kSigmfVersion = "1.2.0";
inline constexpr std::string_view kSigmfExtensionVersion = "1.0.0";

}  // namespace bitoner
