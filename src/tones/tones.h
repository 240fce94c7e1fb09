#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bitoner {

// A tone file could not be planned or written; what() names the file and the reason, in words fit
// for the operator.
class ToneError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The largest frame count whose RIFF size 36 + 4 * N still fits a signed 32-bit field.
inline constexpr std::int32_t kMaxFrames = 536870902;
// The most negative frame count (from a negative duration) whose data size 4 * N and RIFF size
// 36 + 4 * N both still fit a signed 32-bit field.
inline constexpr std::int32_t kMinFrames = -536870912;
// The highest sample rate whose byte rate 4 * rate fits a signed 32-bit field.
inline constexpr std::int32_t kMaxSampleRateHz = 536870911;

// The tone files, in the order they are written.
inline constexpr std::array<std::string_view, 4> kToneFileNames{"Idle.wav", "InterSymb.wav",
                                                                "Dot.wav", "Dash.wav"};

// What MakeTones reads when it runs: the three frequency box texts as typed, the form variables and
// the state of the Invert I/Q box.
struct ToneInputs {
  std::string idleFreqText;
  std::string dotFreqText;
  std::string dashFreqText;
  std::int32_t Fsample = 0;
  double SymbolLength = 0.0;
  double InterSymbol = 0.0;
  double Ampl = 0.0;
  bool invert = false;
};

// One tone file as MakeTones will write it.
struct TonePlan {
  std::string_view fileName;
  double step = 0.0;        // cycles per sample: frequency / Fsample
  std::int32_t frames = 0;  // negative only for a negative duration: header alone
};

// Checks the inputs of all four files and works out their steps and frame counts, in the order
// the files are written. Throws ToneError, naming the file, for a frame count outside
// kMinFrames..kMaxFrames, a step or a last phase that is not finite, an amplitude that would not
// fit a 16-bit sample, or a sample rate outside 1..kMaxSampleRateHz.
std::array<TonePlan, 4> planTones(const ToneInputs& inputs);

// Writes Idle.wav, InterSymb.wav, Dot.wav and Dash.wav into `directory`, each a continuous I/Q tone
// starting at phase 0. Every file is checked before the first is written (frame count within
// kMaxFrames, finite phase), and each is written to a temporary file that is then renamed over the
// old one, so a failure never leaves a truncated tone file. Throws ToneError.
void MakeTones(const ToneInputs& inputs, const std::filesystem::path& directory = ".");

}  // namespace bitoner
