// SPDX-License-Identifier: GPL-3.0-or-later
// The decoder, phase by phase:
//  1. the recording is mixed down at each tone and summed over short blocks (step_sums), while
//     the noise floor is measured beside the tones (noise_floor);
//  2. steady carriers are taken out of each tone's sums (carriers);
//  3. the tones' offset is followed over the recording (frequency_track), and the sums turned
//     back by it and added up into the steps of the timing search;
//  4. the transmissions are found and each read on its own: characters and their timing, the
//     level, its fading (character_search, pass_finder); where the pauses are silence, what the
//     track missed is then read off the elements read and all is read again (track_refinement);
//  5. each character's confidence, and the text (confidence).
#include "decode/decoder.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "decode/carriers.h"
#include "decode/character_search.h"
#include "decode/confidence.h"
#include "decode/frequency_track.h"
#include "decode/noise_floor.h"
#include "decode/pass_finder.h"
#include "decode/step_sums.h"
#include "decode/track_refinement.h"

namespace bitoner::decode {

namespace {

constexpr std::size_t kIdle = 0;
constexpr std::size_t kDot = 1;
constexpr std::size_t kDash = 2;
// No tone: a window of silence.
constexpr std::size_t kSilent = 3;
// What a word space of silence costs (natural log): enough that noise after a transmission reads
// as nothing, an hour of it, little against a real pause's.
constexpr double kSilentWordSpaceCost = 2.0;
// Steps of the timing search per symbol: a step's misplacement costs at most 1/64 of a symbol's
// energy at either end.
constexpr double kStepsPerSymbol = 32.0;
// A block must stay short against the furthest offset, or the tone's phase turns within it and
// its sum loses energy (sinc(1/8) costs 0.2 dB).
constexpr double kBlocksPerOffsetCycle = 8.0;
// Fewer frames per symbol than this leave too little to tell the tones apart.
constexpr std::int64_t kMinSymbolFrames = 8;
// The track may wander from the tones by the search and this many minutes of the fastest drift.
constexpr double kTrackMinutes = 10.0;
// A transmission must be this much likelier than noise alone, beyond chance over the positions
// tried.
constexpr double kFoundMargin = 5.0;
// Readings with less noise than this between them belong to one transmission. A deep fade or a
// slip of the timing lasts a symbol or two; in ordinary Morse timing a word space alone is seven
// dots, and a character lost beside one may add six more. A pause between passes is far longer.
constexpr std::int64_t kJoinSymbols = 8;
constexpr std::int64_t kJoinDots = 14;
// Noise alone, read as the likeliest characters, looks like a signal of about 0 to 3 dB per
// symbol (choosing the stronger tone for every element lends it that much); below 6 dB no signal
// is read without many errors anyway, so weaker readings are taken for noise.
constexpr double kFewestSymbolSnr = 4.0;
constexpr double kReferenceBandwidthHz = 2500.0;
constexpr double kSmallestPower = 1e-30;
constexpr double kSecondsPerMinute = 60.0;
// What the track missed is read off each element with its neighbours this many symbols either
// side of its middle: in DFCW the elements before and after.
constexpr std::int64_t kRefinementNeighbourSymbols = 2;

// The settings' tones that the mode sounds, by their place in `toneHz`.
std::vector<std::size_t> keyedTones(Mode mode) {
  switch (mode) {
    case Mode::Dfcw:
      return {kDot, kDash};
    case Mode::Qrss:
      return {kDot};
    case Mode::Fskcw:
      return {kIdle, kDot};
    case Mode::ThreeTone:
      break;
  }
  return {kIdle, kDot, kDash};
}

// The mode's keying of a character, in frames.
CharacterTiming timingOf(Mode mode, std::int64_t symbolFrames, std::int64_t gapFrames) {
  CharacterTiming timing;
  timing.dotFrames = symbolFrames;
  timing.silentPauses = hasSilentPauses(mode);
  if (hasMorseTiming(mode)) {
    timing.dashFrames = kDashDots * symbolFrames;
    timing.gapFrames = symbolFrames;
    timing.idleFrames = kCharacterEndDots * symbolFrames;
    timing.spaceFrames = symbolFrames;
    timing.dotWindows = true;
    // A word's space beyond a character's end is four dots, read one at a time.
    timing.silentSpaceCost = kSilentWordSpaceCost / 4.0;
  } else {
    timing.dashFrames = symbolFrames;
    timing.gapFrames = gapFrames;
    timing.idleFrames = symbolFrames;
    timing.spaceFrames = symbolFrames;
    timing.silentSpaceCost = kSilentWordSpaceCost;
  }
  return timing;
}

// Which tone each kind of window listens to: its place among the keyed tones, or silence.
std::array<std::size_t, kWindowKinds> windowTones(Mode mode) {
  const std::vector<std::size_t> keyed = keyedTones(mode);
  const auto placeOf = [&](std::size_t tone) {
    const auto found = std::find(keyed.begin(), keyed.end(), tone);
    return found == keyed.end() ? kSilent : static_cast<std::size_t>(found - keyed.begin());
  };
  // In ordinary Morse timing every window is a dot long, so character ends are gaps in a row and
  // their own kind goes unused; a dash is dots in a row, and read whole besides, on the dot's tone.
  const bool dotWindows = hasMorseTiming(mode);
  std::array<std::size_t, kWindowKinds> tones{};
  tones[static_cast<std::size_t>(WindowKind::IdleSymbol)] = dotWindows ? kSilent : placeOf(kIdle);
  tones[static_cast<std::size_t>(WindowKind::DotSymbol)] = placeOf(kDot);
  tones[static_cast<std::size_t>(WindowKind::DashSymbol)] = placeOf(dotWindows ? kDot : kDash);
  tones[static_cast<std::size_t>(WindowKind::IdleGap)] = placeOf(kIdle);
  return tones;
}

// Each window's magnitude at every starting step, from each tone's step sums scaled to the
// noise RMS per sample; `sums` says each kind's length and whether it is silent.
void fillWindows(const std::vector<std::vector<std::complex<double>>>& stepSums, double noiseRms,
                 const std::array<std::size_t, kWindowKinds>& kindTones, WindowSums& sums) {
  const std::int64_t steps = sums.stepCount;
  std::vector<std::vector<std::complex<double>>> running(stepSums.size());
  for (std::size_t t = 0; t < running.size(); ++t) {
    running[t].resize(static_cast<std::size_t>(steps + 1));
    std::complex<double> total = 0.0;
    for (std::int64_t m = 0; m < steps; ++m) {
      running[t][static_cast<std::size_t>(m)] = total;
      total += stepSums[t][static_cast<std::size_t>(m)] / noiseRms;
    }
    running[t][static_cast<std::size_t>(steps)] = total;
  }
  for (std::size_t kind = 0; kind < kWindowKinds; ++kind) {
    const std::size_t tone = kindTones[kind];
    const std::int64_t length = sums.steps[kind];
    if (length == 0 || sums.silent[kind]) {
      continue;
    }
    std::vector<double>& m = sums.magnitudes[kind];
    m.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, steps - length + 1)));
    for (std::int64_t k = 0; k + length <= steps; ++k) {
      m[static_cast<std::size_t>(k)] =
          std::abs(running[tone][static_cast<std::size_t>(k + length)] -
                   running[tone][static_cast<std::size_t>(k)]);
    }
  }
}

}  // namespace

double longestCharacterSeconds(const DecoderSettings& settings) {
  const double rate = settings.sampleRateHz;
  const CharacterTiming timing = timingOf(
      settings.mode, static_cast<std::int64_t>(std::nearbyint(rate * settings.symbolSeconds)),
      static_cast<std::int64_t>(std::nearbyint(rate * settings.gapSeconds)));
  const Readings readings = makeReadings(timing, 1);
  std::int64_t longest = 0;
  for (const Reading& reading : readings.all) {
    longest = std::max(longest, reading.steps);
  }
  return static_cast<double>(longest) / rate;
}

double searchFor(const DecoderSettings& settings) {
  if (!(settings.searchHz >= 0.0) || !std::isfinite(settings.searchHz)) {
    throw SettingsError("the frequency search must be zero or more hertz");
  }
  if (!(settings.symbolSeconds > 0.0) || !std::isfinite(settings.symbolSeconds)) {
    return settings.searchHz;  // the decoder refuses the symbol itself
  }
  const std::vector<std::size_t> keyed = keyedTones(settings.mode);
  const double resolutionHz = 0.5 / settings.symbolSeconds;
  double search = settings.searchHz;
  for (std::size_t a = 0; a < keyed.size(); ++a) {
    for (std::size_t b = a + 1; b < keyed.size(); ++b) {
      const double apart = std::fabs(settings.toneHz[keyed[a]] - settings.toneHz[keyed[b]]);
      if (!std::isfinite(apart)) {
        continue;  // the decoder refuses the tone itself
      }
      if (apart * settings.symbolSeconds < 1.0 ||
          (settings.searchChosen && apart <= settings.searchHz + resolutionHz)) {
        throw SettingsError(
            "the tones are too close to be told apart: they must be further apart than the "
            "search and at least one symbol's resolution");
      }
      // The tones move together, so a search reaching as far as they lie apart is readable; but
      // one wider than half of it holds both a tone's offset and its neighbour's, and a
      // transmission may then start, or the track start again, on the wrong one. A default
      // search keeps clear of that, rounded down to a tenth of a hertz.
      if (!settings.searchChosen) {
        const double clear = (apart - resolutionHz) / 2.0;
        search = std::min(search, std::floor(clear * 10.0) / 10.0);
      }
    }
  }
  return search;
}

Decoder::Decoder(const DecoderSettings& settings) : settings_(settings) {
  const double rate = settings.sampleRateHz;
  if (!(rate > 0.0) || !std::isfinite(rate)) {
    throw SettingsError("the sample rate must be a positive number of hertz");
  }
  if (!std::isfinite(settings.symbolSeconds) || !std::isfinite(settings.gapSeconds) ||
      std::fabs(settings.symbolSeconds * rate) > 1e12 ||
      std::fabs(settings.gapSeconds * rate) > 1e12) {
    throw SettingsError("the symbol and gap lengths must be finite");
  }
  symbolFrames_ = static_cast<std::int64_t>(std::nearbyint(rate * settings.symbolSeconds));
  gapFrames_ = static_cast<std::int64_t>(std::nearbyint(rate * settings.gapSeconds));
  if (symbolFrames_ < kMinSymbolFrames) {
    throw SettingsError("the symbol is too short to decode: at least " +
                        std::to_string(kMinSymbolFrames) + " frames are needed");
  }
  if (gapFrames_ < 0) {
    throw SettingsError("the gap cannot be negative");
  }
  if (!(settings.driftHzPerMinute >= 0.0) || !std::isfinite(settings.driftHzPerMinute)) {
    throw SettingsError("the drift must be zero or more hertz a minute");
  }
  const double symbolSeconds = static_cast<double>(symbolFrames_) / rate;
  settings_.searchHz = searchFor(settings);
  for (const std::size_t tone : keyedTones(settings.mode)) {
    keyedHz_.push_back(settings.toneHz[tone]);
  }
  for (const double f : keyedHz_) {
    if (!std::isfinite(f) || std::fabs(f) + settings_.searchHz >= rate / 2.0) {
      throw SettingsError("the tones and the search must lie within half the sample rate");
    }
  }
  // The track stays inside the band.
  double edge = rate / 2.0;
  for (const double f : keyedHz_) {
    edge = std::min(edge, rate / 2.0 - std::fabs(f));
  }
  trackRangeHz_ =
      std::max(settings_.searchHz,
               std::min(settings_.searchHz + kTrackMinutes * settings.driftHzPerMinute, edge));

  const double byResolution = static_cast<double>(symbolFrames_) / kStepsPerSymbol;
  const double byOffset = rate / (kBlocksPerOffsetCycle * (trackRangeHz_ + 1.0 / symbolSeconds));
  const auto blockFrames = std::max<std::int64_t>(
      1, static_cast<std::int64_t>(std::floor(std::min(byResolution, byOffset))));
  blocksPerStep_ = std::max<std::int64_t>(
      1,
      static_cast<std::int64_t>(std::nearbyint(byResolution / static_cast<double>(blockFrames))));
  sums_ = std::make_unique<StepSums>(rate, keyedHz_, blockFrames);
  noise_ = std::make_unique<NoiseFloor>(rate, keyedHz_, trackRangeHz_);
}

Decoder::~Decoder() = default;

void Decoder::feed(std::span<const std::complex<float>> samples) {
  sums_->feed(samples);
  noise_->feed(samples);
  frames_ += static_cast<std::int64_t>(samples.size());
}

Decoded Decoder::decode() const {
  Decoded result;
  const double rate = settings_.sampleRateHz;
  const std::int64_t blockFrames = sums_->blockFrames();
  const std::int64_t stepFrames = blockFrames * blocksPerStep_;
  const double stepSeconds = static_cast<double>(stepFrames) / rate;
  const double blockRate = rate / static_cast<double>(blockFrames);
  result.symbolSeconds = static_cast<double>(symbolFrames_) / rate;
  const CharacterTiming timing = timingOf(settings_.mode, symbolFrames_, gapFrames_);
  result.gapSeconds = static_cast<double>(timing.gapFrames) / rate;
  result.stepSeconds = stepSeconds;

  const std::int64_t steps = sums_->blocks() / blocksPerStep_;
  const auto symbolSteps = std::max<std::int64_t>(
      1, static_cast<std::int64_t>(
             std::nearbyint(static_cast<double>(symbolFrames_) / static_cast<double>(stepFrames))));
  const std::array<std::int64_t, kWindowKinds> kindSteps = windowSteps(timing, stepFrames);
  if (steps < symbolSteps * 3) {
    return result;
  }

  // 1. The noise floor; a recording shorter than one spectrum takes it from the tones' own sums.
  double noisePower = noise_->samplePower();
  if (noise_->empty()) {
    std::vector<float> powers;
    for (std::size_t t = 0; t < sums_->tones(); ++t) {
      for (const std::complex<float>& z : sums_->sums(t)) {
        powers.push_back(std::norm(z));
      }
    }
    noisePower = median(powers) / std::numbers::ln2 / static_cast<double>(blockFrames);
  }
  noisePower = std::max(noisePower, kSmallestPower);
  const double noiseBlockPower = noisePower * static_cast<double>(blockFrames);

  // 2. Steady carriers out.
  const std::int64_t symbolBlocks = symbolSteps * blocksPerStep_;
  std::vector<std::vector<std::complex<float>>> cleaned(sums_->tones());
  std::vector<std::span<const std::complex<float>>> tones;
  for (std::size_t t = 0; t < sums_->tones(); ++t) {
    const std::vector<std::complex<float>>& recorded = std::as_const(*sums_).sums(t);
    for (const Carrier& c :
         removeSteadyCarriers(recorded, cleaned[t], blockRate, symbolBlocks, noiseBlockPower)) {
      result.carriers.push_back({keyedHz_[t] + c.offsetHz, 10.0 * std::log10(c.symbolSnr)});
    }
    tones.emplace_back(cleaned[t].empty() ? std::span<const std::complex<float>>(recorded)
                                          : std::span<const std::complex<float>>(cleaned[t]));
  }

  // 3. The track, and the steps along it, scaled to the noise RMS.
  TrackSettings track;
  track.blockRateHz = blockRate;
  track.symbolBlocks = symbolBlocks;
  track.searchHz = settings_.searchHz;
  track.rangeHz = trackRangeHz_;
  track.driftHzPerSecond = settings_.driftHzPerMinute / kSecondsPerMinute;
  track.noiseBlockPower = noiseBlockPower;
  track.silentPauses = hasSilentPauses(settings_.mode);
  for (std::size_t a = 0; a < keyedHz_.size(); ++a) {
    for (std::size_t b = a + 1; b < keyedHz_.size(); ++b) {
      const double apart = std::fabs(keyedHz_[a] - keyedHz_[b]);
      track.tonesApartHz = track.tonesApartHz > 0.0 ? std::min(track.tonesApartHz, apart) : apart;
    }
  }
  const std::vector<float> trackHz = trackFrequency(tones, track);
  const double noiseRms = std::sqrt(noisePower);
  WindowSums sums;
  sums.stepCount = steps;
  const std::array<std::size_t, kWindowKinds> kindTones = windowTones(settings_.mode);
  std::vector<std::vector<std::complex<double>>> stepSums(tones.size());
  for (std::size_t t = 0; t < stepSums.size(); ++t) {
    stepSums[t] = followTrack(tones[t], trackHz, blockRate, blocksPerStep_);
    cleaned[t] = {};
  }
  for (std::size_t kind = 0; kind < kWindowKinds; ++kind) {
    sums.frames[kind] = kindSteps[kind] * stepFrames;
    sums.steps[kind] = kindSteps[kind];
    sums.silent[kind] = kindTones[kind] == kSilent;
  }
  fillWindows(stepSums, noiseRms, kindTones, sums);

  // 4. The transmissions.
  const Readings readings = makeReadings(timing, stepFrames);
  Search search(sums, readings);
  PassFinderSettings finder;
  finder.symbolSteps = symbolSteps;
  finder.symbolFrames = symbolFrames_;
  finder.stepFrames = stepFrames;
  finder.stepSeconds = stepSeconds;
  finder.joinSteps = (timing.dotWindows ? kJoinDots : kJoinSymbols) * symbolSteps;
  finder.startCost = std::log(static_cast<double>(steps)) + kFoundMargin;
  finder.fewestSymbolSnr = kFewestSymbolSnr;
  finder.silentPauses = timing.silentPauses;
  finder.knownLevel = settings_.knownLevel;
  std::array<bool, kSilent + 1> listened{};
  for (std::size_t kind = 0; kind < kWindowKinds; ++kind) {
    // One symbol-long window of each tone, for the level where nothing could be read.
    const std::size_t tone = kindTones[kind];
    if (tone != kSilent && !listened[tone] && kindSteps[kind] == symbolSteps) {
      listened[tone] = true;
      finder.toneKinds.push_back(static_cast<WindowKind>(kind));
    }
  }
  std::vector<PassReading> found = findPasses(search, sums, finder);
  // Where the pauses are silence the track holds nothing to go by between elements, so what it
  // missed is read off the elements read, and all is read again along the track so mended.
  std::vector<double> missedHz(static_cast<std::size_t>(steps), 0.0);
  if (timing.silentPauses && !found.empty()) {
    std::vector<HeardWindow> heard;
    for (const PassReading& pass : found) {
      for (const auto& [start, r] : pass.run.readings) {
        for (const Window& w : readings.all[static_cast<std::size_t>(r)].windows) {
          const auto kind = static_cast<std::size_t>(w.kind);
          if (kindTones[kind] != kSilent) {
            heard.push_back({kindTones[kind], start + w.offset, kindSteps[kind]});
          }
        }
      }
    }
    missedHz = trackError(stepSums, heard, stepSeconds, symbolSteps,
                          kRefinementNeighbourSymbols * symbolSteps);
    for (std::vector<std::complex<double>>& tone : stepSums) {
      turnBack(tone, missedHz, stepSeconds);
    }
    fillWindows(stepSums, noiseRms, kindTones, sums);
    found = findPasses(search, sums, finder);
  }

  // 5. What each says.
  const auto offsetAt = [&](double seconds) {
    const auto block = std::clamp<std::int64_t>(static_cast<std::int64_t>(seconds * blockRate), 0,
                                                static_cast<std::int64_t>(trackHz.size()) - 1);
    const auto step = std::clamp<std::int64_t>(block / blocksPerStep_, 0, steps - 1);
    return trackHz.empty() ? 0.0
                           : static_cast<double>(trackHz[static_cast<std::size_t>(block)]) +
                                 missedHz[static_cast<std::size_t>(step)];
  };
  for (const PassReading& reading : found) {
    DecodedPass pass;
    pass.characters = charactersOf(search, reading, stepSeconds);
    if (pass.characters.empty()) {
      continue;
    }
    for (DecodedCharacter& c : pass.characters) {
      c.offsetHz = offsetAt(c.startSeconds + c.seconds / 2.0);
    }
    pass.text = textOf(pass.characters);
    pass.startSeconds = pass.characters.front().startSeconds;
    pass.endSeconds = pass.characters.back().startSeconds + pass.characters.back().seconds;
    pass.startOffsetHz = offsetAt(pass.startSeconds);
    pass.endOffsetHz = offsetAt(pass.endSeconds);
    const double minutes = (pass.endSeconds - pass.startSeconds) / kSecondsPerMinute;
    pass.driftHzPerMinute = minutes > 0.0 ? (pass.endOffsetHz - pass.startOffsetHz) / minutes : 0.0;
    const double u = reading.typicalLevel;
    pass.snrDb = 10.0 * std::log10(std::max(u * u * rate / kReferenceBandwidthHz, kSmallestPower));
    result.characters.insert(result.characters.end(), pass.characters.begin(),
                             pass.characters.end());
    result.text += (result.passes.empty() ? "" : "\n") + pass.text;
    result.passes.push_back(std::move(pass));
  }
  result.found = !result.passes.empty();
  if (result.found) {
    result.offsetHz = result.passes.front().startOffsetHz;
    result.snrDb = result.passes.front().snrDb;
    result.startSeconds = result.passes.front().startSeconds;
    result.endSeconds = result.passes.back().endSeconds;
  } else if (!trackHz.empty()) {
    result.offsetHz = trackHz.front();
  }
  return result;
}

}  // namespace bitoner::decode
