// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "engine/smooth.h"
#include "engine/tone_sink.h"
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

// How the samples of a recording are stored: 16-bit integers, or 32-bit floats before rounding
// (full scale 1.0 = 32767); I then Q, little-endian.
enum class SampleFormat : std::uint8_t { Ci16, Cf32 };

// The frames of one transmission after its last tone: the fall of a smooth one, none for hard.
std::int64_t tailFrames(const ToneBank& tones);

// Writes the frames of tones in their shape and format to `out`, and counts them. A smooth
// transmission keeps one phase through the plays and ends with finish().
class FrameWriter : public ToneSink {
 public:
  FrameWriter(const ToneBank& tones, OutputFile& out, SampleFormat format = SampleFormat::Ci16);

  void play(Tone tone) override;
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

}  // namespace bitoner
