// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/modes.h"

namespace bitoner {

// A tone file could not be planned or written; what() names the file and the reason, in words fit
// for the operator.
class ToneError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
  // A planning refusal also carries the tone's file name and the reason alone, so that a front
  // end without tone files can word it in terms of its own options.
  ToneError(const std::string& what, std::string_view fileName, std::string cause)
      : std::runtime_error(what), fileName_(fileName), cause_(std::move(cause)) {}

  // Empty unless the error is a planning refusal.
  std::string_view fileName() const { return fileName_; }
  const std::string& cause() const { return cause_; }

 private:
  std::string_view fileName_;  // one of kToneFileNames
  std::string cause_;
};

// Writing the tone files was cancelled by the progress callback; the old files are untouched and no
// temporary file is left.
class ToneCancelled : public ToneError {
 public:
  ToneCancelled();
};

// Called while the tone files are written, every few thousand frames, with the frames written so
// far and the frames of all four files together; returning false cancels the write.
using ToneProgress = std::function<bool(std::int64_t framesDone, std::int64_t framesTotal)>;

// The largest frame count whose RIFF size 36 + 4 * N still fits a signed 32-bit field.
inline constexpr std::int32_t kMaxFrames = 536870902;
// The most negative frame count (from a negative duration) whose data size 4 * N and RIFF size
// 36 + 4 * N both still fit a signed 32-bit field.
inline constexpr std::int32_t kMinFrames = -536870912;
// The highest sample rate whose byte rate 4 * rate fits a signed 32-bit field.
inline constexpr std::int32_t kMaxSampleRateHz = 536870911;

// The four tones of a run, in the order their files are written.
enum class Tone : std::uint8_t { Idle, Gap, Dot, Dash };
inline constexpr std::array<Tone, 4> kTones{Tone::Idle, Tone::Gap, Tone::Dot, Tone::Dash};

// The tone files, in the order they are written (indexed by Tone).
inline constexpr std::array<std::string_view, 4> kToneFileNames{"Idle.wav", "InterSymb.wav",
                                                                "Dot.wav", "Dash.wav"};

constexpr std::string_view toneFileName(Tone tone) {
  return kToneFileNames[static_cast<std::size_t>(tone)];
}

// Samples per frame: I (cosine) then Q (sine).
inline constexpr std::size_t kChannels = 2;

// How a smooth transmission moves between tones and in and out of the air, in frames (see
// SmoothSynth).
struct SmoothShape {
  std::int64_t glideFrames = 0;  // every change of frequency, at the start of the new tone
  std::int64_t rampFrames = 0;   // the level's rise at the start and its fall at the end
};

// The three frequencies as the operator typed them, kept only for a refusal that quotes them.
struct TypedFrequencies {
  std::string idle;
  std::string dot;
  std::string dash;
};

// What MakeTones reads when it runs: the three frequencies, the form variables and the state of
// the Invert I/Q box.
struct ToneInputs {
  double idleHz = 0.0;
  double dotHz = 0.0;
  double dashHz = 0.0;
  std::int32_t Fsample = 0;
  double SymbolLength = 0.0;
  double InterSymbol = 0.0;
  double Ampl = 0.0;
  bool invert = false;
  // The sound card's clock is this many parts per million fast (negative: slow); the tones are
  // made at f / (1 + ppm / 1e6) so that they leave the card at f. 0 keeps the exact formula.
  double ppm = 0.0;
  // Keyed smooth with this shape; none: hard, the tones exactly as the files hold them. The tone
  // files are always hard.
  std::optional<SmoothShape> smooth = std::nullopt;
  // How the four tones key the message: their lengths and which of them are silence. The
  // frequencies are the three above, which a front end fills from the mode's own options.
  Mode mode = Mode::ThreeTone;
  // A frequency too large to compute with is quoted as typed where there is a text; otherwise
  // as its number.
  TypedFrequencies typed = {};
};

// Full scale of a floating-point sample: a 16-bit sample of 32767 is 1.0.
inline constexpr double kFloatFullScale = 32767.0;

// One tone file as MakeTones will write it.
struct TonePlan {
  std::string_view fileName;
  double step = 0.0;        // cycles per sample: frequency / Fsample
  std::int32_t frames = 0;  // negative only for a negative duration: header alone
  bool silent = false;      // every sample 0, whatever the step
};

// The frames of one tone, computed on demand: frame k is the same whatever was asked before it,
// so any stretch of the tone can be produced alone.
class ToneSynth {
 public:
  ToneSynth(const TonePlan& plan, double amplitude, bool invert)
      : step_(plan.step), amplitude_(plan.silent ? 0.0 : amplitude), invert_(invert) {}

  // Writes frames first .. first + out.size() / 2 - 1 as interleaved I, Q samples.
  void render(std::int64_t first, std::span<std::int16_t> out) const;
  // The same frames before rounding, scaled to kFloatFullScale.
  void render(std::int64_t first, std::span<float> out) const;

 private:
  double step_;
  double amplitude_;
  bool invert_;
};

// The frames of the four tones of one run, as the tone files hold them. Tones short enough are
// computed once and kept; longer ones (a symbol of many minutes) are computed as they are read, so
// memory stays bounded whatever the symbol length; the kept ones are computed on all the cores
// the process may use. Immutable once made: safe to read from any thread.
class ToneBank {
 public:
  // Tones of at most this many frames are kept in memory (about 5 MB each).
  static constexpr std::int64_t kKeptFramesLimit = 1'250'000;
  // For a player, which reads each frame once, as it is heard: computing a frame costs far less
  // than the time it lasts, so only short tones, which come round many times a second, are kept
  // (about 64 kB each), and a long-running beacon holds no more memory at a long symbol.
  static constexpr std::int64_t kPlayerKeptFramesLimit = 16'384;

  // Plans the tones as planTones does (throws ToneError) and prepares their frames, keeping those
  // of at most `keptFramesLimit` frames.
  explicit ToneBank(const ToneInputs& inputs, std::int64_t keptFramesLimit = kKeptFramesLimit);

  // The tone's length in frames; 0 for a negative duration (such a file holds no sound).
  std::int64_t frames(Tone tone) const { return entry(tone).frames; }

  // Writes frames first .. first + out.size() / 2 - 1 of the tone, interleaved I, Q. The range
  // must lie within frames(tone).
  void read(Tone tone, std::int64_t first, std::span<std::int16_t> out) const;

  // The same frames before rounding, scaled to kFloatFullScale; always computed afresh.
  void read(Tone tone, std::int64_t first, std::span<float> out) const;

  const TonePlan& plan(Tone tone) const { return entry(tone).plan; }
  bool silent(Tone tone) const { return entry(tone).plan.silent; }
  Mode mode() const { return mode_; }
  std::int32_t sampleRateHz() const { return sampleRateHz_; }
  double amplitude() const { return amplitude_; }
  bool inverted() const { return inverted_; }
  const std::optional<SmoothShape>& smooth() const { return smooth_; }

  // All the tone's frames, interleaved I, Q, when they are kept in memory; empty otherwise. For
  // readers that can take the whole tone at once.
  std::span<const std::int16_t> keptFrames(Tone tone) const { return entry(tone).kept; }

 private:
  struct Entry {
    TonePlan plan;
    ToneSynth synth;
    std::int64_t frames = 0;
    // Not zeroed before the synthesis writes every sample: for tones of megabytes that would be
    // a pass over memory as long as the synthesis itself.
    std::unique_ptr<std::int16_t[]> keptStore;
    std::span<std::int16_t> kept;  // empty when computed on demand
  };
  const Entry& entry(Tone tone) const { return entries_[static_cast<std::size_t>(tone)]; }

  std::vector<Entry> entries_;
  std::int32_t sampleRateHz_ = 0;
  double amplitude_ = 0.0;
  bool inverted_ = false;
  std::optional<SmoothShape> smooth_;
  Mode mode_ = Mode::ThreeTone;
};

// Checks the inputs of all four files and works out their steps and frame counts, in the order
// the files are written. In ordinary Morse timing a dash and an idle are whole multiples of the
// dot's frames, so that every length is exact in dots. Throws ToneError, naming the file, for a
// frame count outside kMinFrames..kMaxFrames, a step or a last phase that is not finite, an
// amplitude that would not fit a 16-bit sample, or a sample rate outside 1..kMaxSampleRateHz.
std::array<TonePlan, 4> planTones(const ToneInputs& inputs);

// Writes Idle.wav, InterSymb.wav, Dot.wav and Dash.wav into `directory`, each a continuous I/Q tone
// starting at phase 0. Every file is checked before the first is written (frame count within
// kMaxFrames, finite phase). All four are written to temporary files and flushed to the disk, and
// only then renamed over the old ones: the directory holds either the old set or the new one,
// never a mix or a truncated file. Temporary files left by processes that no longer run are
// removed first. Throws ToneError naming the file and the reason, ToneCancelled when `progress`
// returns false.
void MakeTones(const ToneInputs& inputs, const std::filesystem::path& directory = ".",
               const ToneProgress& progress = {});

// Writes the tone files as above from tones already made at the rate `Fsample`, so that the files
// hold exactly what is played.
void MakeTones(const ToneBank& tones, std::int32_t Fsample, const std::filesystem::path& directory,
               const ToneProgress& progress = {});

}  // namespace bitoner
