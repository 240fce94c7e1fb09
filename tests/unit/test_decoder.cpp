// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>

#include "cli/keying_options.h"
#include "decode/carriers.h"
#include "decode/character_search.h"
#include "decode/decoder.h"
#include "decode/frequency_track.h"
#include "decode/track_refinement.h"
#include "engine/noise.h"
#include "recording/recording.h"
#include "support/keyed_signal.h"

namespace bitoner {
namespace {

constexpr double kRate = 11025.0;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// What the air adds to the keyed signal: its offset at each second, anything else at each sample.
struct Air {
  std::function<double(double)> offsetHz = [](double) { return 0.0; };
  std::function<std::complex<double>(double)> extra = [](double) { return 0.0; };
  std::function<double(double)> gain = [](double) { return 1.0; };  // of the keyed signal
};

// The keyed messages (full scale 1, their levels given), `pauseSeconds` of noise apart and
// `edgeSeconds` before and after (the recording cut `cutSeconds` short at its end), through the
// air and noise of RMS `sigma`, decoded with `settings` fed in uneven pieces as a pipe delivers
// them.
decode::Decoded decodeWith(const std::vector<std::pair<std::string, double>>& messages,
                           const std::string& symbol, double sigma, double edgeSeconds,
                           double pauseSeconds, const Air& air, decode::DecoderSettings settings,
                           const std::string& shiftHz = "", double cutSeconds = 0.0) {
  std::vector<std::complex<double>> clean(static_cast<std::size_t>(edgeSeconds * kRate));
  for (std::size_t k = 0; k < messages.size(); ++k) {
    if (k > 0) {
      clean.resize(clean.size() + static_cast<std::size_t>(pauseSeconds * kRate));
    }
    for (const std::complex<double>& s :
         testing::keyedSignal(messages[k].first, symbol, settings.mode, shiftHz)) {
      clean.push_back(s * messages[k].second);
    }
  }
  clean.resize(clean.size() + static_cast<std::size_t>(edgeSeconds * kRate) -
               static_cast<std::size_t>(cutSeconds * kRate));
  std::vector<std::complex<float>> samples(clean.size());
  ComplexNoise noise(9, sigma);
  double turns = 0.1;
  for (std::size_t n = 0; n < samples.size(); ++n) {
    const double t = static_cast<double>(n) / kRate;
    double i = 0.0;
    double q = 0.0;
    noise.next(i, q);
    turns = std::fmod(turns + air.offsetHz(t) / kRate, 1.0);
    samples[n] =
        std::complex<float>(std::complex<double>(i, q) +
                            clean[n] * std::polar(air.gain(t), kTwoPi * turns) + air.extra(t));
  }
  settings.symbolSeconds = std::stod(symbol);
  settings.gapSeconds = settings.symbolSeconds / 10.0;
  decode::Decoder decoder(settings);
  for (std::size_t at = 0; at < samples.size(); at += 1000) {
    decoder.feed(std::span(samples).subspan(at, std::min<std::size_t>(1000, samples.size() - at)));
  }
  return decoder.decode();
}

double sigmaAt(double snrDb, const std::string& symbol) {
  return noiseSigmaFor(std::norm(testing::keyedSignal("E", symbol).front()), snrDb, kRate);
}

TEST(DecoderTest, FindsTheStartAndTheOffsetInNoise) {
  const decode::Decoded decoded = decodeWith({{"PARIS 73", 1.0}}, "0.05", sigmaAt(0.0, "0.05"), 1.3,
                                             0.0, {.offsetHz = [](double) { return 2.5; }}, {});
  EXPECT_TRUE(decoded.found);
  EXPECT_EQ(decoded.text, "PARIS 73");
  EXPECT_NEAR(decoded.offsetHz, 2.5, 1.0);  // a twentieth of what a 50 ms symbol resolves
  EXPECT_NEAR(decoded.startSeconds, 1.3, decoded.stepSeconds);
  EXPECT_NEAR(decoded.snrDb, 0.0, 2.0);
  for (const decode::DecodedCharacter& c : decoded.characters) {
    EXPECT_GT(c.confidence, 0.9) << static_cast<char>(c.character);
  }
}

TEST(DecoderTest, NoiseAloneReadsAsNothing) {
  // Ten minutes: hundreds of thousands of places for a reading to begin; two for the other modes.
  for (const Mode mode : kModes) {
    decode::DecoderSettings settings;
    settings.mode = mode;
    settings.toneHz = {995.0, 1000.0, 1005.0};
    const double edgeSeconds = mode == Mode::ThreeTone ? 300.0 : 60.0;
    const decode::Decoded decoded = decodeWith({}, "0.5", 0.1, edgeSeconds, 0.0, {}, settings);
    EXPECT_FALSE(decoded.found) << modeName(mode);
    EXPECT_EQ(decoded.text, "") << modeName(mode);
  }
}

// FSKCW's two tones a little further apart than a 50 ms dot resolves, a strong signal: the
// track must not take one tone for the other.
TEST(DecoderTest, KeepsTonesApartThatADotBarelyResolves) {
  decode::DecoderSettings settings;
  settings.mode = Mode::Fskcw;
  settings.toneHz = {975.0, 1000.0, 1000.0};
  const decode::Decoded decoded =
      decodeWith({{"VVV DE G4ABC", 1.0}}, "0.05", 1e-4, 0.5, 0.0, {}, settings, "25");
  EXPECT_EQ(decoded.text, "VVV DE G4ABC");
  EXPECT_NEAR(decoded.offsetHz, 0.0, 1.0);
}

// The tones move 30 Hz a minute one way, then turn back: fifteen symbols' resolutions over the
// message. Each character's offset is where the tones were in its middle.
TEST(DecoderTest, FollowsADriftThatTurns) {
  const auto wander = [](double t) { return 1.0 + 5.0 * std::sin(kTwoPi * t / 40.0); };
  decode::DecoderSettings settings;
  settings.driftHzPerMinute = 60.0;
  const decode::Decoded decoded =
      decodeWith({{"CQ DE G3XBM JO01 K", 1.0}}, "0.5", sigmaAt(-12.0, "0.5"), 2.0, 0.0,
                 {.offsetHz = wander}, settings);
  EXPECT_EQ(decoded.text, "CQ DE G3XBM JO01 K");
  ASSERT_EQ(decoded.passes.size(), 1U);
  for (const decode::DecodedCharacter& c : decoded.characters) {
    EXPECT_NEAR(c.offsetHz, wander(c.startSeconds + c.seconds / 2.0), 0.3)
        << static_cast<char>(c.character) << " at " << c.startSeconds << " s";
  }
}

// Two stations 40 s apart at levels 6 dB apart and different offsets, noise between.
TEST(DecoderTest, ReadsEachTransmissionOnItsOwn) {
  const decode::Decoded decoded =
      decodeWith({{"VVV DE G3XBM", 1.0}, {"TEST 5NN", 0.5}}, "0.5", sigmaAt(-10.0, "0.5"), 3.0,
                 40.0, {.offsetHz = [](double t) { return t < 40.0 ? -1.5 : 2.0; }}, {});
  ASSERT_EQ(decoded.passes.size(), 2U) << decoded.text;
  EXPECT_EQ(decoded.text, "VVV DE G3XBM\nTEST 5NN");
  EXPECT_NEAR(decoded.passes[0].startOffsetHz, -1.5, 0.2);
  EXPECT_NEAR(decoded.passes[1].startOffsetHz, 2.0, 0.2);
  EXPECT_NEAR(decoded.passes[0].snrDb - decoded.passes[1].snrDb, 6.0, 1.5);
  EXPECT_NEAR(decoded.passes[1].startSeconds - decoded.passes[0].endSeconds, 40.0, 1.0);
}

// QRSS, a character lost between two word spaces (keyed, but never heard): twelve dots of
// silence inside one transmission, which stays one line.
TEST(DecoderTest, KeepsATransmissionWholeAcrossALostCharacter) {
  decode::DecoderSettings settings;
  settings.mode = Mode::Qrss;
  const auto seconds = [](const std::string& text) {
    return static_cast<double>(testing::keyedSignal(text, "0.5", Mode::Qrss).size()) / kRate;
  };
  const double from = 2.0 + seconds("DE");
  const double until = 2.0 + seconds("DE E");
  const decode::Decoded decoded =
      decodeWith({{"DE E K1ABC", 1.0}}, "0.5", sigmaAt(-5.0, "0.5"), 2.0, 0.0,
                 {.gain = [&](double t) { return t >= from && t < until ? 0.0 : 1.0; }}, settings);
  EXPECT_EQ(decoded.text, "DE K1ABC");
}

// QRSS, the recording ending a fifth into the pause after the last character: its pause is
// silence, so the character is all there.
TEST(DecoderTest, ReadsTheLastCharacterWhereTheRecordingEndsInItsPause) {
  decode::DecoderSettings settings;
  settings.mode = Mode::Qrss;
  const decode::Decoded decoded = decodeWith({{"TEST K", 1.0}}, "0.5", sigmaAt(-5.0, "0.5"), 2.0,
                                             0.0, {}, settings, "", 2.0 + 1.2);
  EXPECT_EQ(decoded.text, "TEST K");
}

// In ordinary Morse timing a dash is three dot windows, and one window over the three besides:
// key down too weak for any dot window to stand out from noise stands out read whole, where its
// phase holds.
TEST(CharacterSearchTest, ReadsADashWholeWhereItsDotsAloneAreTooWeak) {
  constexpr std::int64_t kDot = 4;  // steps, a step a frame
  constexpr std::int64_t kSteps = 40;
  constexpr std::int64_t kKeyDown = 12;  // a dash from here
  const decode::CharacterTiming timing{.dotFrames = kDot,
                                       .dashFrames = 3 * kDot,
                                       .gapFrames = kDot,
                                       .idleFrames = 3 * kDot,
                                       .spaceFrames = kDot,
                                       .silentPauses = true,
                                       .dotWindows = true,
                                       .silentSpaceCost = 0.5};
  const decode::Readings readings = decode::makeReadings(timing, 1);
  constexpr double kLevel = 0.5;  // amplitude over the noise RMS per sample; no noise drawn
  decode::WindowSums sums;
  sums.stepCount = kSteps;
  for (const auto& [kind, length] : {std::pair{decode::WindowKind::DotSymbol, kDot},
                                     std::pair{decode::WindowKind::DashSymbol, 3 * kDot}}) {
    const auto k = static_cast<std::size_t>(kind);
    sums.frames[k] = length;
    sums.steps[k] = length;
    for (std::int64_t at = 0; at + length <= kSteps; ++at) {
      const std::int64_t overlap = std::max<std::int64_t>(
          0, std::min(at + length, kKeyDown + 3 * kDot) - std::max(at, kKeyDown));
      sums.magnitudes[k].push_back(kLevel * static_cast<double>(overlap));
    }
  }
  sums.silent[static_cast<std::size_t>(decode::WindowKind::IdleSymbol)] = true;
  sums.silent[static_cast<std::size_t>(decode::WindowKind::IdleGap)] = true;
  decode::Search search(sums, readings);
  search.setLevel(kLevel, 0, kSteps);
  std::vector<decode::PathRun> runs;
  search.best(0, kSteps, 0.1, runs);
  ASSERT_EQ(runs.size(), 1U);
  ASSERT_EQ(runs[0].readings.size(), 1U);
  const auto& [start, r] = runs[0].readings[0];
  EXPECT_EQ(readings.all[static_cast<std::size_t>(r)].character, U'T');
  EXPECT_EQ(start, kKeyDown);
}

// Two steady carriers far stronger than the signal, one inside the offset search beside the dot
// tone, one beside the dash tone: both are found and taken out, and the keying is read.
TEST(DecoderTest, TakesOutSteadyCarriers) {
  const double sigma = sigmaAt(-10.0, "0.5");
  const double signal = std::norm(testing::keyedSignal("E", "0.5").front());
  const double strong = std::sqrt(signal * 100.0);  // 20 dB above the signal
  const double stronger = std::sqrt(signal * 1e4);  // 40 dB
  const Air air{.offsetHz = [](double) { return 0.7; },
                .extra =
                    [&](double t) {
                      return std::polar(strong, kTwoPi * std::fmod(1002.5 * t, 1.0)) +
                             std::polar(stronger, 0.3 + kTwoPi * std::fmod(1220.0 * t, 1.0));
                    }};
  const decode::Decoded decoded =
      decodeWith({{"CQ DE K1ABC K1ABC", 1.0}}, "0.5", sigma, 4.0, 0.0, air, {});
  EXPECT_EQ(decoded.text, "CQ DE K1ABC K1ABC");
  EXPECT_NEAR(decoded.offsetHz, 0.7, 0.2);
  std::vector<double> found;
  for (const decode::RemovedCarrier& c : decoded.carriers) {
    found.push_back(c.frequencyHz);
  }
  EXPECT_TRUE(std::any_of(found.begin(), found.end(),
                          [](double f) { return std::fabs(f - 1002.5) < 0.1; }));
  EXPECT_TRUE(std::any_of(found.begin(), found.end(),
                          [](double f) { return std::fabs(f - 1220.0) < 0.1; }));
}

// Slow fading (QSB) of 20 s, 8 dB deep, at 3 s symbols: the transmission starts and ends at
// the bottom of a fade, where one level for all of it is far too high, and its first and last
// characters are read like the others, with no noise read beside them.
TEST(DecoderTest, ReadsThroughSlowFadingToBothEnds) {
  constexpr double kEdgeSeconds = 20.0;
  const std::string message = "CQ DE K1ABC";
  const double length = static_cast<double>(testing::keyedSignal(message, "3").size()) / kRate;
  const double period = length / std::round(length / 20.0);
  const Air air{.gain = [&](double t) {
    return std::pow(10.0, (-4.0 - 4.0 * std::cos(kTwoPi * (t - kEdgeSeconds) / period)) / 20.0);
  }};
  const double sigma = sigmaAt(-16.0, "3");
  const decode::Decoded decoded =
      decodeWith({{message, 1.0}}, "3", sigma, kEdgeSeconds, 0.0, air, {});
  EXPECT_EQ(decoded.text, message);

  // Told the level (as the benchmark tells it, to measure what knowing it gains), the reading
  // takes it: the true one reads the same, one 20 dB too high does not.
  const double amplitude = std::abs(testing::keyedSignal("E", "3").front()) / sigma;
  decode::DecoderSettings told;
  told.knownLevel = [&](double t) { return amplitude * air.gain(t); };
  EXPECT_EQ(decodeWith({{message, 1.0}}, "3", sigma, kEdgeSeconds, 0.0, air, told).text, message);
  told.knownLevel = [&](double t) { return 10.0 * amplitude * air.gain(t); };
  EXPECT_NE(decodeWith({{message, 1.0}}, "3", sigma, kEdgeSeconds, 0.0, air, told).text, message);
}

// A transmission whose first 40 s lie 6 dB down in a long trough: read at one level, all of that
// is lost, more than the few symbols around it that are searched again; it is read from its
// first character all the same.
TEST(DecoderTest, FindsAStartLostInALongTrough) {
  constexpr double kEdgeSeconds = 20.0;
  const std::string message = "CQ DE K1ABC";
  const Air air{.gain = [&](double t) { return t < kEdgeSeconds + 40.0 ? 0.5 : 1.0; }};
  EXPECT_EQ(decodeWith({{message, 1.0}}, "3", sigmaAt(-21.0, "3"), kEdgeSeconds, 0.0, air, {}).text,
            message);
}

// A beacon's key-up: its idle tone for minutes around a short message. The idle tone is the
// signal's own, not a carrier to take out; alone (a tune) it says nothing.
TEST(DecoderTest, LeavesTheSignalsOwnIdleToneAlone) {
  const double amplitude = std::abs(testing::keyedSignal("E", "0.5").front());
  const auto idleTone = [&](double from, double until) {
    return [=](double t) {
      return t < from || t >= until ? std::polar(amplitude, kTwoPi * std::fmod(600.0 * t, 1.0))
                                    : std::complex<double>(0.0);
    };
  };
  const std::string message = "TEST DE K1ABC";
  const double length = static_cast<double>(testing::keyedSignal(message, "0.5").size()) / kRate;
  const decode::Decoded keyed = decodeWith({{message, 1.0}}, "0.5", sigmaAt(-10.0, "0.5"), 120.0,
                                           0.0, {.extra = idleTone(120.0, 120.0 + length)}, {});
  EXPECT_EQ(keyed.text, message);
  for (const decode::RemovedCarrier& c : keyed.carriers) {
    EXPECT_GT(std::fabs(c.frequencyHz - 600.0), 10.0);
  }
  const decode::Decoded idle =
      decodeWith({}, "0.5", sigmaAt(-10.0, "0.5"), 120.0, 0.0, {.extra = idleTone(0.0, 0.0)}, {});
  EXPECT_FALSE(idle.found);
}

// A keyed tone whose phase runs on from element to element makes a line too, but it comes and
// goes, if only for a third of a symbol at a time; a carrier stays.
TEST(CarriersTest, LeavesAKeyedToneAlone) {
  constexpr std::int64_t kSymbolBlocks = 16;
  constexpr std::size_t kBlocks = 4000;
  std::vector<std::complex<float>> keyedTone(kBlocks);
  std::vector<std::complex<float>> carrier(kBlocks);
  for (std::size_t m = 0; m < kBlocks; ++m) {
    const bool on = (m / kSymbolBlocks) % 3 == 0;
    const auto phasor =
        std::complex<float>(std::polar(1.0, kTwoPi * 0.01 * static_cast<double>(m)));
    keyedTone[m] = on ? phasor : 0.0F;
    carrier[m] = 0.5F * phasor;
  }
  std::vector<std::complex<float>> cleaned;
  EXPECT_TRUE(decode::removeSteadyCarriers(keyedTone, cleaned, 100.0, kSymbolBlocks, 0.01).empty());
  EXPECT_TRUE(cleaned.empty());
  // DFCW's dash tone through "0000": dashes with gaps a third of a symbol long, and a symbol and a
  // gap of silence between the characters, so that hardly a symbol-long window goes quiet.
  constexpr std::size_t kGapBlocks = 5;
  std::vector<std::complex<float>> dashes;
  for (int character = 0; character < 4; ++character) {
    for (int dash = 0; dash < 5; ++dash) {
      dashes.insert(dashes.end(), kSymbolBlocks, 1.0F);
      dashes.insert(dashes.end(), kGapBlocks, 0.0F);
    }
    dashes.insert(dashes.end(), kSymbolBlocks, 0.0F);
  }
  // Near threshold: 12.7 dB a symbol over the noise.
  constexpr double kNoiseBlockPower = 0.85;
  ComplexNoise noise(7, std::sqrt(kNoiseBlockPower));
  for (std::size_t m = 0; m < dashes.size(); ++m) {
    double i = 0.0;
    double q = 0.0;
    noise.next(i, q);
    dashes[m] =
        dashes[m] * std::complex<float>(std::polar(1.0, kTwoPi * 0.01 * static_cast<double>(m))) +
        std::complex<float>(std::complex<double>(i, q));
  }
  EXPECT_TRUE(decode::removeSteadyCarriers(dashes, cleaned, 100.0, kSymbolBlocks, kNoiseBlockPower)
                  .empty());
  const std::vector<decode::Carrier> found =
      decode::removeSteadyCarriers(carrier, cleaned, 100.0, kSymbolBlocks, 0.01);
  ASSERT_EQ(found.size(), 1U);
  EXPECT_NEAR(found[0].offsetHz, 1.0, 0.01);
  double left = 0.0;
  for (const std::complex<float>& z : cleaned) {
    left = std::max(left, static_cast<double>(std::abs(z)));
  }
  EXPECT_LT(left, 0.05);
}

// The track's settings for 3 s symbols at 100 block sums a second and a block's noise power of 1,
// drifting up to 6 Hz a minute, wandering up to `rangeHz`.
constexpr double kTrackBlockRate = 100.0;
constexpr std::int64_t kTrackSymbolBlocks = 300;
decode::TrackSettings trackSettings(double rangeHz) {
  decode::TrackSettings settings;
  settings.blockRateHz = kTrackBlockRate;
  settings.symbolBlocks = kTrackSymbolBlocks;
  settings.searchHz = 3.0;
  settings.rangeHz = rangeHz;
  settings.driftHzPerSecond = 0.1;
  settings.noiseBlockPower = 1.0;
  return settings;
}

// The track alone: three tones keyed in turn, never stopping, drifting 3 Hz a minute and jumping
// between transmissions to another offset inside the search; `amplitude` against noise of 1.
double driftTruthHz(double t) { return t < 300.0 ? -2.0 + 0.05 * t : 2.5 - 0.05 * (t - 300.0); }

// `seconds` of three tones' block sums in noise of 1, keyed in turn at `amplitude` from
// `fromSeconds` to `toSeconds`, offset by `truth`; tracked.
std::vector<float> trackOfThreeTones(double amplitude, double seconds, double fromSeconds,
                                     double toSeconds, const std::function<double(double)>& truth) {
  const auto blocks = static_cast<std::size_t>(seconds * kTrackBlockRate);
  std::vector<std::vector<std::complex<float>>> tones(3, std::vector<std::complex<float>>(blocks));
  ComplexNoise noise(3, 1.0);
  double turns = 0.0;
  for (std::size_t m = 0; m < blocks; ++m) {
    const double t = static_cast<double>(m) / kTrackBlockRate;
    turns = std::fmod(turns + truth(t) / kTrackBlockRate, 1.0);
    const std::size_t tone = (m / kTrackSymbolBlocks) % 3;
    const bool keyed = t >= fromSeconds && t < toSeconds;
    for (std::size_t k = 0; k < 3; ++k) {
      double i = 0.0;
      double q = 0.0;
      noise.next(i, q);
      tones[k][m] =
          std::complex<float>(std::complex<double>(i, q) +
                              (keyed && k == tone ? std::polar(amplitude, kTwoPi * turns) : 0.0));
    }
  }
  const std::vector<std::span<const std::complex<float>>> views(tones.begin(), tones.end());
  return decode::trackFrequency(views, trackSettings(20.0));
}

// The largest error of the track over the ten minutes, away from the jump.
double worstDriftTrackError(double amplitude) {
  const std::vector<float> track = trackOfThreeTones(amplitude, 600.0, 0.0, 600.0, driftTruthHz);
  double worst = 0.0;
  for (double t = 10.0; t < 600.0; t += 10.0) {
    if (std::fabs(t - 300.0) > 10.0) {
      worst = std::max(
          worst,
          std::fabs(static_cast<double>(track[static_cast<std::size_t>(t * kTrackBlockRate)]) -
                    driftTruthHz(t)));
    }
  }
  return worst;
}

TEST(FrequencyTrackTest, FollowsDriftAndStartsAgainElsewhere) {
  EXPECT_LT(worstDriftTrackError(0.3), 0.07);
  // Near threshold a tone that never stops is still followed where it reads weak, not held as a
  // silent mode's pause is: held, this one strays 1.9 Hz.
  EXPECT_LT(worstDriftTrackError(0.12), 1.0);
}

// A drifting transmission with noise before and after: its first and last symbols are where the
// tones were then, not pulled towards where they were in the symbols beside.
TEST(FrequencyTrackTest, FollowsDriftToATransmissionsEnds) {
  const auto truth = [](double t) { return 1.0 + 0.05 * t; };
  const std::vector<float> track = trackOfThreeTones(0.3, 180.0, 30.0, 150.0, truth);
  for (const double t : {31.5, 148.5}) {
    EXPECT_NEAR(track[static_cast<std::size_t>(t * kTrackBlockRate)], truth(t), 0.08) << t << " s";
  }
}

// One tone keyed on and off as QRSS is, with pauses of up to 21 s between: where nothing is
// heard the track holds the offset from the tone on either side instead of following noise,
// which read at a place chosen for it would look like the tone.
TEST(FrequencyTrackTest, HoldsTheOffsetWhereNothingIsHeard) {
  const auto truth = [](double t) { return -1.0 + 0.01 * t; };
  // Key down for 9 s, then silent for 3, 9 and 21 s in turn.
  const auto keyed = [](double t) {
    const double cycle = std::fmod(t, 69.0);
    return cycle < 9.0 || (cycle >= 12.0 && cycle < 21.0) || (cycle >= 30.0 && cycle < 39.0);
  };
  const std::size_t blocks = 300 * 100;
  std::vector<std::complex<float>> tone(blocks);
  ComplexNoise noise(5, 1.0);
  double turns = 0.0;
  for (std::size_t m = 0; m < blocks; ++m) {
    const double t = static_cast<double>(m) / kTrackBlockRate;
    turns = std::fmod(turns + truth(t) / kTrackBlockRate, 1.0);
    double i = 0.0;
    double q = 0.0;
    noise.next(i, q);
    tone[m] = std::complex<float>(std::complex<double>(i, q) +
                                  (keyed(t) ? std::polar(0.3, kTwoPi * turns) : 0.0));
  }
  const std::vector<std::span<const std::complex<float>>> views{tone};
  decode::TrackSettings settings = trackSettings(63.0);
  settings.silentPauses = true;
  const std::vector<float> track = decode::trackFrequency(views, settings);
  // Noise would lead it hertz away; near the tone it is a little late to follow the drift.
  for (double t = 1.0; t < 300.0; t += 1.0) {
    EXPECT_NEAR(track[static_cast<std::size_t>(t * kTrackBlockRate)], truth(t),
                keyed(t) ? 0.1 : 0.2)
        << t << " s" << (keyed(t) ? "" : ", silent");
  }
}

// DFCW's 3 s elements on two tones, 1 s apart, each near threshold (12 dB a symbol), as step
// sums along a track that missed by up to 0.15 Hz, wandering: what it missed is read off the
// elements, close enough that a symbol loses little (0.15 Hz would cost it 2 dB).
TEST(TrackRefinementTest, ReadsWhatTheTrackMissedOffTheElements) {
  constexpr std::int64_t kSymbolSteps = 32;
  constexpr double kStepSeconds = 3.0 / kSymbolSteps;
  constexpr std::int64_t kPeriodSteps = 4 * kSymbolSteps / 3;
  const auto missed = [](double t) { return 0.15 * std::sin(kTwoPi * t / 50.0); };
  const std::size_t steps = 160 * kSymbolSteps / 3;
  std::vector<std::vector<std::complex<double>>> sums(2, std::vector<std::complex<double>>(steps));
  std::vector<decode::HeardWindow> heard;
  ComplexNoise noise(4, 1.0);
  double turns = 0.0;
  for (std::size_t m = 0; m < steps; ++m) {
    const auto step = static_cast<std::int64_t>(m);
    turns = std::fmod(turns + missed(static_cast<double>(m) * kStepSeconds) * kStepSeconds, 1.0);
    const std::size_t tone = static_cast<std::size_t>(step / kPeriodSteps) % 3 == 1 ? 1 : 0;
    const bool keyed = step % kPeriodSteps < kSymbolSteps;
    if (step % kPeriodSteps == 0 && step + kSymbolSteps <= static_cast<std::int64_t>(steps)) {
      heard.push_back({tone, step, kSymbolSteps});
    }
    for (std::size_t k = 0; k < 2; ++k) {
      double i = 0.0;
      double q = 0.0;
      noise.next(i, q);
      sums[k][m] =
          std::complex<double>(i, q) + (keyed && k == tone ? std::polar(0.7, kTwoPi * turns) : 0.0);
    }
  }
  const std::vector<double> error =
      decode::trackError(sums, heard, kStepSeconds, kSymbolSteps, 2 * kSymbolSteps);
  ASSERT_EQ(error.size(), steps);
  double squares = 0.0;
  double missedSquares = 0.0;
  for (const decode::HeardWindow& w : heard) {
    const auto middle = static_cast<std::size_t>(w.first + w.steps / 2);
    const double truth = missed(static_cast<double>(middle) * kStepSeconds);
    squares += (error[middle] - truth) * (error[middle] - truth);
    missedSquares += truth * truth;
    EXPECT_NEAR(error[middle], truth, 0.08) << static_cast<double>(middle) * kStepSeconds << " s";
  }
  // Within 0.03 Hz RMS, where a symbol loses 0.1 dB.
  EXPECT_LT(std::sqrt(squares / static_cast<double>(heard.size())), 0.03);
  EXPECT_GT(std::sqrt(missedSquares / static_cast<double>(heard.size())), 0.1);
  // Turned back by it, the elements hold the energy they would on the true frequency: a third
  // more than along the track.
  const auto energy = [&] {
    double total = 0.0;
    for (const decode::HeardWindow& w : heard) {
      std::complex<double> sum = 0.0;
      for (std::int64_t m = w.first; m < w.first + w.steps; ++m) {
        sum += sums[w.tone][static_cast<std::size_t>(m)];
      }
      total += std::norm(sum);
    }
    return total;
  };
  const double along = energy();
  for (std::vector<std::complex<double>>& tone : sums) {
    decode::turnBack(tone, error, kStepSeconds);
  }
  EXPECT_GT(energy(), 1.25 * along);
}

}  // namespace
}  // namespace bitoner
