// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "cli/noisy_frames.h"
#include "cli/output_file.h"
#include "engine/tones.h"

namespace bitoner::cli {

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

// Writes the frames of tones, as interleaved little-endian 16-bit I/Q, to `out`, and counts them.
class FrameWriter {
 public:
  FrameWriter(const ToneBank& tones, OutputFile& out) : tones_(tones), out_(out) {}

  void play(Tone tone);
  std::int64_t frames() const { return frames_; }

 private:
  static constexpr std::size_t kChunkFrames = 8192;

  const ToneBank& tones_;
  OutputFile& out_;
  std::int64_t frames_ = 0;
  std::array<std::int16_t, kChunkFrames * kChannels> chunk_{};
};

// The SigMF metadata of a recording, streamed: the global object and the capture at once, one
// annotation per segment as it comes, so its size in memory does not grow with the recording.
class SigmfMetaWriter {
 public:
  // `tones` gives the frequency of each tone; `description` goes into core:description; noise
  // added to the recording is stated in keys of the bitoner namespace.
  SigmfMetaWriter(OutputFile& out, const ToneInputs& tones, const std::string& description,
                  const std::optional<NoisePlan>& noise = std::nullopt);

  void annotate(const Segment& segment);
  // Closes the annotations and the document; the caller commits the file.
  void finish();

 private:
  OutputFile& out_;
  std::array<double, 4> frequencyHz_{};  // indexed by Tone, signed as the spectrum shows it
  bool first_ = true;
};

}  // namespace bitoner::cli
