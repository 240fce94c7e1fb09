// SPDX-License-Identifier: GPL-3.0-or-later
// Each mode keyed through the keying steps and its tones, frame by frame against the mode's own
// definition: which frequency sounds (or silence) for how many dots or symbols. The expected
// signals below are written from the definitions, not from the program's tables.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "engine/keying_steps.h"
#include "engine/modes.h"
#include "engine/smooth.h"
#include "engine/tones.h"
#include "support/spectrum.h"

namespace bitoner {
namespace {

class FixedText : public KeyingInput {
 public:
  explicit FixedText(std::u32string text) : text_(std::move(text)) {}
  std::size_t messageLength() const override { return text_.size(); }
  char32_t messageAt(std::size_t index) const override { return text_.at(index); }
  bool loop() const override { return false; }

 private:
  std::u32string text_;
};

// A stretch of the expected signal: `frames` frames sounding `hz` from phase 0, or silence.
struct Stretch {
  std::int64_t frames;
  double hz;  // 0: silence
};

// At 1000 frames a second every tone below holds whole cycles in each of its lengths, so hard
// keying's restart at phase 0 joins a run seamlessly: each run is one clean tone.
constexpr std::int32_t kRate = 1000;
constexpr std::int64_t kDot = 100;  // frames of a symbol (0.1 s)
constexpr std::int64_t kGap = 20;   // frames of the three-tone gap (20 %)
constexpr double kIdleHz = 50.0;
constexpr double kDotHz = 100.0;
constexpr double kDashHz = 150.0;
constexpr double kKeyUpHz = 90.0;  // FSKCW: 10 Hz below key down at kDotHz
const double kAmplitude = 10000.0;

// Ordinary Morse timing written as dots: '=' key down, '_' key up, each one dot long.
std::vector<Stretch> morseRuns(std::string_view dots, double downHz, double upHz) {
  std::vector<Stretch> runs;
  for (const char c : dots) {
    const double hz = c == '=' ? downHz : upHz;
    if (!runs.empty() && runs.back().hz == hz) {
      runs.back().frames += kDot;
    } else {
      runs.push_back({kDot, hz});
    }
  }
  return runs;
}

ToneInputs inputsFor(Mode mode) {
  ToneInputs inputs{kIdleHz, kDotHz, kDashHz, kRate, 0.1, 0.02, kAmplitude};
  if (hasMorseTiming(mode)) {
    // The front ends key QRSS and FSKCW on the dot's and dash's one frequency, key up on idle's.
    inputs.dotHz = inputs.dashHz = kDotHz;
    inputs.idleHz = kKeyUpHz;
  }
  inputs.mode = mode;
  return inputs;
}

// The plays of a message, in order.
std::vector<Tone> plays(std::u32string text, Mode mode) {
  const FixedText input(std::move(text));
  KeyingSteps steps(input, mode);
  std::vector<Tone> tones;
  while (const auto step = steps.next()) {
    if (step->kind == KeyingStep::Kind::Play) {
      tones.push_back(step->tone);
    }
  }
  return tones;
}

std::vector<std::complex<double>> hardSignal(const ToneBank& bank, const std::vector<Tone>& tones) {
  std::vector<std::complex<double>> signal;
  for (const Tone tone : tones) {
    std::vector<std::int16_t> frames(static_cast<std::size_t>(bank.frames(tone)) * kChannels);
    bank.read(tone, 0, frames);
    for (std::size_t k = 0; k < frames.size(); k += kChannels) {
      signal.emplace_back(frames[k], frames[k + 1]);
    }
  }
  return signal;
}

// The message keyed smooth with the bank's shape, as complex values at full scale 1.
std::vector<std::complex<float>> smoothSignal(const ToneBank& bank,
                                              const std::vector<Tone>& tones) {
  SmoothSynth synth(bank, *bank.smooth());
  std::vector<float> interleaved;
  const auto add = [&](std::int64_t frames) {
    std::vector<float> part(static_cast<std::size_t>(frames) * kChannels);
    synth.render(part);
    interleaved.insert(interleaved.end(), part.begin(), part.end());
  };
  for (const Tone tone : tones) {
    add(synth.begin(tone));
  }
  add(synth.rampOut());
  return testing::complexOf(interleaved);
}

struct ModeCase {
  Mode mode;
  std::vector<Stretch> expected;  // "EE T" as the mode's definition keys it
};

// "EE T" in each mode. Three-tone and DFCW: every element a symbol, then the gap, then a symbol of
// idle after every character, and the blank one idle symbol of its own. QRSS and FSKCW: dot, three
// dots between characters, seven between words, a dash three dots, three dots after the last.
std::vector<ModeCase> modeCases() {
  const std::string_view eeT = "=___=_______===___";
  return {
      {Mode::ThreeTone,
       {{kDot, kDotHz},
        {kGap + kDot, kIdleHz},
        {kDot, kDotHz},
        {kGap + kDot + kDot, kIdleHz},
        {kDot, kDashHz},
        {kGap + kDot, kIdleHz}}},
      {Mode::Dfcw,
       {{kDot, kDotHz},
        {kGap + kDot, 0},
        {kDot, kDotHz},
        {kGap + kDot + kDot, 0},
        {kDot, kDashHz},
        {kGap + kDot, 0}}},
      {Mode::Qrss, morseRuns(eeT, kDotHz, 0)},
      {Mode::Fskcw, morseRuns(eeT, kDotHz, kKeyUpHz)},
  };
}

class ModeTest : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeTest, HardKeyingIsTheDefinitionFrameByFrame) {
  const ModeCase& mode = GetParam();
  const ToneBank bank(inputsFor(mode.mode));
  const auto signal = hardSignal(bank, plays(U"EE T", mode.mode));

  std::int64_t total = 0;
  for (const Stretch& run : mode.expected) {
    total += run.frames;
  }
  ASSERT_EQ(static_cast<std::int64_t>(signal.size()), total);
  std::int64_t at = 0;
  for (const Stretch& run : mode.expected) {
    for (std::int64_t n = 0; n < run.frames; ++n) {
      const double theta = 2.0 * std::numbers::pi * run.hz * static_cast<double>(n) / kRate;
      const std::complex<double> want =
          run.hz == 0 ? 0.0 : kAmplitude * std::complex<double>(std::cos(theta), std::sin(theta));
      const auto got = signal[static_cast<std::size_t>(at + n)];
      ASSERT_LE(std::abs(got - want), 1.5) << "frame " << at + n << " of a run at " << run.hz;
    }
    at += run.frames;
  }
}

// The same message keyed smooth: the key's level and the frequency move only at the edges the
// definition puts them, the phase runs on, and nothing splatters.
TEST_P(ModeTest, SmoothKeyingMovesOnlyAtTheEdges) {
  const ModeCase& mode = GetParam();
  constexpr std::int64_t kRamp = 10;
  constexpr std::int64_t kGlide = 5;
  ToneInputs inputs = inputsFor(mode.mode);
  inputs.smooth = SmoothShape{kGlide, kRamp};
  const auto z = smoothSignal(ToneBank(inputs), plays(U"EE T", mode.mode));
  const double level = kAmplitude / kFloatFullScale;
  const auto stepHz = [&](std::int64_t n) {
    const auto k = static_cast<std::size_t>(n);
    const std::complex<double> a(z[k]);
    const std::complex<double> b(z[k + 1]);
    return std::arg(b * std::conj(a)) / (2.0 * std::numbers::pi) * kRate;
  };

  std::int64_t at = 0;
  double previousHz = -1;
  for (const Stretch& run : mode.expected) {
    // Past the edge's ramp (or glide) the run is flat: the full level at its own frequency, or
    // nothing at all.
    const std::int64_t settled = at + (run.hz == 0 || previousHz == 0 || at == 0 ? kRamp : kGlide);
    for (std::int64_t n = settled; n < at + run.frames; ++n) {
      const double magnitude = std::abs(std::complex<double>(z[static_cast<std::size_t>(n)]));
      if (run.hz == 0) {
        ASSERT_EQ(magnitude, 0.0) << "frame " << n;
      } else {
        ASSERT_NEAR(magnitude, level, level * 1e-5) << "frame " << n;
        ASSERT_NEAR(stepHz(n), run.hz, 1e-3) << "frame " << n;
      }
    }
    // After silence a tone starts at its own frequency, rising from nothing.
    if (previousHz == 0 && run.hz != 0) {
      EXPECT_NEAR(stepHz(at + 1), run.hz, 1e-3) << "frame " << at;
      EXPECT_LT(std::abs(z[static_cast<std::size_t>(at)]), level * 0.05) << "frame " << at;
    }
    previousHz = run.hz;
    at += run.frames;
  }
  // Sounding or fading, the phase never steps outside the band of the mode's tones.
  for (std::int64_t n = 0; n + 1 < static_cast<std::int64_t>(z.size()); ++n) {
    if (std::abs(z[static_cast<std::size_t>(n)]) > 0 &&
        std::abs(z[static_cast<std::size_t>(n + 1)]) > 0) {
      ASSERT_GE(stepHz(n), std::min(kIdleHz, kKeyUpHz) - 1e-3) << "frame " << n;
      ASSERT_LE(stepHz(n), kDashHz + 1e-3) << "frame " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, ModeTest, ::testing::ValuesIn(modeCases()), [](const auto& param) {
  std::string name(modeName(param.param.mode));
  std::erase(name, '-');
  return name;
});

// On the air: on/off edges and shifts on ramps and glides of a tenth and a twentieth of a 3 s dot
// keep the splatter 100 Hz beyond the tones at least 90 dB down, as three-tone's does.
TEST(ModeSplatter, EveryModeKeyedSmoothStaysNarrow) {
  constexpr std::int32_t kAirRate = 11025;
  for (const Mode mode : {Mode::Dfcw, Mode::Qrss, Mode::Fskcw}) {
    ToneInputs inputs{995.0, 1000.0, 1005.0, kAirRate, 3.0, 1.0, kAmplitude};
    inputs.mode = mode;
    inputs.smooth = SmoothShape{kAirRate * 3 / 20, kAirRate * 3 / 10};
    const testing::Spectrum spectrum(smoothSignal(ToneBank(inputs), plays(U"TEST", mode)),
                                     kAirRate);
    EXPECT_LE(spectrum.worstBeyond(995, 1005, 100), -90.0) << modeName(mode);
  }
}

}  // namespace
}  // namespace bitoner
