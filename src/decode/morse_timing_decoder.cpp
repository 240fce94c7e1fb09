// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/morse_timing_decoder.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "engine/patterns.h"

namespace bitoner::decode {

namespace {

// The dot grid's timing is found to this fraction of a dot.
constexpr std::int64_t kFewestStepsPerDot = 32;
// A step must stay short against the largest offset, or the tone's phase turns within it and its
// sum loses energy (sinc(1/8) costs 0.2 dB).
constexpr double kStepsPerOffsetCycle = 8.0;
// Offsets are tried this many times finer than a dot resolves.
constexpr double kOffsetsPerDotBin = 8.0;
constexpr std::int64_t kMinDotFrames = 8;
// The level is taken from the loudest share of the slots, then refined from those read as key
// down.
constexpr double kLoudestShare = 0.3;
constexpr int kLevelRounds = 3;
// Noise alone looks like a signal of about 0 to 3 dB per dot; weaker readings are taken for it.
constexpr double kFewestDotSnr = 4.0;
constexpr double kUnreadableBelow = 0.3;
constexpr char32_t kUnreadable = U'?';
// Pauses between characters of at least this many dots beyond a character's end are a word space
// (a character ends three dots after its last element; a word seven).
constexpr std::int64_t kWordSpaceDots = 2;
constexpr std::int64_t kCharacterEndDots = 2;
constexpr double kReferenceBandwidthHz = 2500.0;

// ln I0(x), without overflow for large x.
double logBesselI0(double x) {
  constexpr double kSeriesLimit = 10.0;
  if (x < kSeriesLimit) {
    return std::log(std::cyl_bessel_i(0.0, x));
  }
  return x - 0.5 * std::log(2.0 * std::numbers::pi * x) + std::log1p(1.0 / (8.0 * x));
}

// A character as slots of the dot grid: key down for a dot or the three of a dash, key up for one
// after each element and two more at its end.
struct CharacterShape {
  char32_t character;
  std::string_view pattern;
  std::vector<std::pair<std::int64_t, std::int64_t>> down;  // [first, end) slots from its start
  std::int64_t slots;
};

std::vector<CharacterShape> characterShapes() {
  const PatternTable table = CWchars();
  std::vector<CharacterShape> shapes;
  for (int code = 0; code < kPatternCodes; ++code) {
    const std::string_view pattern = table[static_cast<std::size_t>(code)];
    if (pattern.empty()) {
      continue;
    }
    CharacterShape shape{static_cast<char32_t>(code), pattern, {}, 0};
    for (const char element : pattern) {
      const std::int64_t length = element == '0' ? 1 : 3;
      shape.down.emplace_back(shape.slots, shape.slots + length);
      shape.slots += length + 1;
    }
    shape.slots += kCharacterEndDots;
    shapes.push_back(std::move(shape));
  }
  return shapes;
}

// Energies of every dot-long run of steps, the steps turned back by `offsetHz`.
std::vector<double> dotEnergies(const std::vector<std::complex<double>>& steps, double offsetHz,
                                double stepSeconds, std::int64_t stepsPerDot) {
  const std::complex<double> back =
      std::polar(1.0, -2.0 * std::numbers::pi * offsetHz * stepSeconds);
  std::vector<std::complex<double>> running(steps.size() + 1);
  std::complex<double> turn(1.0, 0.0);
  for (std::size_t k = 0; k < steps.size(); ++k) {
    running[k + 1] = running[k] + steps[k] * turn;
    turn *= back;
  }
  std::vector<double> energies;
  const auto length = static_cast<std::size_t>(stepsPerDot);
  for (std::size_t k = 0; k + length < running.size(); ++k) {
    energies.push_back(std::norm(running[k + length] - running[k]));
  }
  return energies;
}

// The noise energy of a dot-long sum: from how much neighbouring steps differ, which a steady
// tone barely changes; the median keeps the keying's edges out.
double dotNoise(const std::vector<std::vector<std::complex<double>>>& steps,
                std::int64_t stepsPerDot) {
  std::vector<double> differences;
  for (const auto& tone : steps) {
    for (std::size_t k = 1; k < tone.size(); ++k) {
      differences.push_back(std::norm(tone[k] - tone[k - 1]));
    }
  }
  if (differences.empty()) {
    return 1.0;
  }
  const auto middle = differences.begin() + static_cast<std::ptrdiff_t>(differences.size() / 2);
  std::nth_element(differences.begin(), middle, differences.end());
  // The difference of two steps of noise has twice a step's power; its median is ln 2 of that.
  const double stepNoise = *middle / (2.0 * std::numbers::ln2);
  return std::max(stepNoise * static_cast<double>(stepsPerDot), 1e-300);
}

}  // namespace

MorseTimingDecoder::MorseTimingDecoder(const MorseTimingSettings& settings) : settings_(settings) {
  const double rate = settings.sampleRateHz;
  if (!(rate >= 1.0) || !std::isfinite(rate)) {
    throw SettingsError("the sample rate must be a positive number of hertz");
  }
  if (!(settings.searchHz >= 0.0) || !std::isfinite(settings.searchHz)) {
    throw SettingsError("--search must be a finite number of hertz, 0 or more");
  }
  dotFrames_ = static_cast<std::int64_t>(std::nearbyint(rate * settings.dotSeconds));
  if (!(settings.dotSeconds > 0.0) || dotFrames_ < kMinDotFrames) {
    throw SettingsError("--symbol: a dot must last at least " + std::to_string(kMinDotFrames) +
                        " samples");
  }
  std::vector<double> tones{settings.keyDownHz};
  if (settings.keyUpHz) {
    tones.push_back(*settings.keyUpHz);
  }
  for (const double hz : tones) {
    if (!std::isfinite(hz) || std::fabs(hz) + settings.searchHz >= rate / 2.0) {
      throw SettingsError(
          "the tones and the search around them must lie below half the sample "
          "rate");
    }
  }
  stepsPerDot_ = std::max<std::int64_t>(
      kFewestStepsPerDot, static_cast<std::int64_t>(std::ceil(
                              kStepsPerOffsetCycle * settings.searchHz * settings.dotSeconds)));
  stepFrames_ = std::max<std::int64_t>(1, dotFrames_ / stepsPerDot_);
  for (const double hz : tones) {
    mixers_.push_back(
        Mixer{std::polar(1.0, -2.0 * std::numbers::pi * hz / rate), {1.0, 0.0}, {}, {}});
  }
}

void MorseTimingDecoder::feed(std::span<const std::complex<float>> samples) {
  for (const std::complex<float> sample : samples) {
    const std::complex<double> x(sample);
    for (Mixer& mixer : mixers_) {
      mixer.partial += x * mixer.phasor;
      mixer.phasor *= mixer.turn;
    }
    if (++inStep_ == stepFrames_) {
      inStep_ = 0;
      for (Mixer& mixer : mixers_) {
        mixer.steps.push_back(mixer.partial);
        mixer.partial = {};
        mixer.phasor /= std::abs(mixer.phasor);  // no drift of the level over hours
      }
    }
  }
}

Decoded MorseTimingDecoder::decode() const {
  const double rate = settings_.sampleRateHz;
  const double stepSeconds = static_cast<double>(stepFrames_) / rate;
  Decoded result;
  result.symbolSeconds = static_cast<double>(dotFrames_) / rate;
  result.gapSeconds = result.symbolSeconds;
  result.stepSeconds = stepSeconds;
  const bool shifted = mixers_.size() > 1;
  const std::size_t stepCount = mixers_.front().steps.size();
  if (stepCount <= static_cast<std::size_t>(stepsPerDot_)) {
    return result;
  }

  // 2. The offset: the most energy in dot-long sums of every tone.
  const double offsetStep = 1.0 / (kOffsetsPerDotBin * settings_.dotSeconds);
  const auto offsets = static_cast<std::int64_t>(std::floor(settings_.searchHz / offsetStep));
  double bestEnergy = -1.0;
  for (std::int64_t k = -offsets; k <= offsets; ++k) {
    const double offset = static_cast<double>(k) * offsetStep;
    double energy = 0.0;
    for (const Mixer& mixer : mixers_) {
      for (const double e : dotEnergies(mixer.steps, offset, stepSeconds, stepsPerDot_)) {
        energy += e;
      }
    }
    if (energy > bestEnergy) {
      bestEnergy = energy;
      result.offsetHz = offset;
    }
  }
  std::vector<std::vector<double>> energies;
  std::vector<std::vector<std::complex<double>>> turnedSteps;
  for (const Mixer& mixer : mixers_) {
    energies.push_back(dotEnergies(mixer.steps, result.offsetHz, stepSeconds, stepsPerDot_));
    const std::complex<double> back =
        std::polar(1.0, -2.0 * std::numbers::pi * result.offsetHz * stepSeconds);
    std::vector<std::complex<double>> turned(mixer.steps.size());
    std::complex<double> turn(1.0, 0.0);
    for (std::size_t k = 0; k < turned.size(); ++k) {
      turned[k] = mixer.steps[k] * turn;
      turn *= back;
    }
    turnedSteps.push_back(std::move(turned));
  }
  const std::size_t windows = energies.front().size();

  // 3. The dot grid: slot m starts at step first + m dots (in frames, rounded to steps, so that
  // a dot that is not a whole number of steps does not drift the grid over a long recording).
  const double stepsPerDotExact =
      static_cast<double>(dotFrames_) / static_cast<double>(stepFrames_);
  const auto slotsFrom = [&](std::int64_t first) {
    std::vector<std::size_t> at;
    for (std::int64_t m = 0;; ++m) {
      const auto k = static_cast<std::size_t>(
          first +
          static_cast<std::int64_t>(std::nearbyint(static_cast<double>(m) * stepsPerDotExact)));
      if (k >= windows) {
        return at;
      }
      at.push_back(k);
    }
  };
  const auto keyed = [&](std::size_t k) {
    return shifted ? energies[0][k] - energies[1][k] : energies[0][k];
  };
  std::int64_t bestFirst = 0;
  double bestContrast = -1.0;
  for (std::int64_t first = 0; first < stepsPerDot_; ++first) {
    double contrast = 0.0;
    for (const std::size_t k : slotsFrom(first)) {
      contrast += keyed(k) * keyed(k);
    }
    if (contrast > bestContrast) {
      bestContrast = contrast;
      bestFirst = first;
    }
  }
  const std::vector<std::size_t> slots = slotsFrom(bestFirst);

  // 4. Each slot's likelihood of key down against key up.
  const double noise = dotNoise(turnedSteps, stepsPerDot_);
  double level = 0.0;  // the energy of a dot-long sum of the tone alone
  if (shifted) {
    for (const std::size_t k : slots) {
      level += std::fabs(energies[0][k] - energies[1][k]);
    }
    level /= static_cast<double>(slots.size());
  } else {
    std::vector<double> loudest;
    for (const std::size_t k : slots) {
      loudest.push_back(energies[0][k]);
    }
    std::sort(loudest.begin(), loudest.end(), std::greater<>());
    const auto share = std::max<std::size_t>(
        1, static_cast<std::size_t>(kLoudestShare * static_cast<double>(loudest.size())));
    double sum = 0.0;
    for (std::size_t k = 0; k < share; ++k) {
      sum += loudest[k];
    }
    level = std::max(sum / static_cast<double>(share) - noise, 0.0);
  }
  const auto likelihood = [&](std::size_t k, double assumed) {
    const double scale = 2.0 * std::sqrt(assumed) / noise;
    const double down = logBesselI0(scale * std::sqrt(energies[0][k]));
    return shifted ? down - logBesselI0(scale * std::sqrt(energies[1][k])) : down - assumed / noise;
  };
  for (int round = 0; round < kLevelRounds && !shifted && level > 0.0; ++round) {
    double sum = 0.0;
    std::size_t count = 0;
    for (const std::size_t k : slots) {
      if (likelihood(k, level) > 0.0) {
        sum += energies[0][k];
        ++count;
      }
    }
    if (count == 0) {
      break;
    }
    level = std::max(sum / static_cast<double>(count) - noise, 0.0);
  }
  const double dotSnr = level / noise;
  result.snrDb = 10.0 * std::log10(std::max(dotSnr, 1e-30) * rate /
                                   (static_cast<double>(dotFrames_) * kReferenceBandwidthHz));
  if (dotSnr < kFewestDotSnr) {
    return result;
  }
  std::vector<double> down;
  for (const std::size_t k : slots) {
    down.push_back(likelihood(k, level));
  }

  // 5. The likeliest reading from each slot to the end, over whole characters and idle slots.
  const std::vector<CharacterShape> shapes = characterShapes();
  std::int64_t longest = 0;
  for (const CharacterShape& shape : shapes) {
    longest = std::max(longest, shape.slots);
  }
  const auto count = static_cast<std::int64_t>(down.size());
  std::vector<double> running(down.size() + static_cast<std::size_t>(longest) + 1, 0.0);
  for (std::size_t m = 0; m < down.size(); ++m) {
    running[m + 1] = running[m] + down[m];
  }
  for (std::size_t m = down.size() + 1; m < running.size(); ++m) {
    running[m] = running[m - 1];  // beyond the end nothing is keyed
  }
  const auto score = [&](const CharacterShape& shape, std::int64_t from) {
    double sum = 0.0;
    for (const auto& [first, end] : shape.down) {
      sum += running[static_cast<std::size_t>(from + end)] -
             running[static_cast<std::size_t>(from + first)];
    }
    return sum;
  };
  std::vector<double> best(static_cast<std::size_t>(count + longest) + 1, 0.0);
  std::vector<int> choice(static_cast<std::size_t>(count), -1);  // -1: an idle slot
  for (std::int64_t m = count - 1; m >= 0; --m) {
    const auto at = static_cast<std::size_t>(m);
    best[at] = best[at + 1];
    for (std::size_t c = 0; c < shapes.size(); ++c) {
      const CharacterShape& shape = shapes[c];
      if (shape.down.back().second > count - m) {
        continue;  // its key down would run past the recording
      }
      const double total = score(shape, m) + best[static_cast<std::size_t>(m + shape.slots)];
      if (total > best[at]) {
        best[at] = total;
        choice[at] = static_cast<int>(c);
      }
    }
  }

  const double framesPerStep = static_cast<double>(stepFrames_);
  const auto startOf = [&](std::int64_t m) {
    return static_cast<double>(slots[static_cast<std::size_t>(m)]) * framesPerStep / rate;
  };
  std::int64_t idle = 0;
  for (std::int64_t m = 0; m < count;) {
    const int chosen = choice[static_cast<std::size_t>(m)];
    if (chosen < 0) {
      ++idle;
      ++m;
      continue;
    }
    const CharacterShape& shape = shapes[static_cast<std::size_t>(chosen)];
    // Its share of every way on from here: an idle slot or any character.
    double ways =
        std::exp(best[static_cast<std::size_t>(m) + 1] - best[static_cast<std::size_t>(m)]);
    for (const CharacterShape& other : shapes) {
      if (other.down.back().second <= count - m) {
        ways += std::exp(score(other, m) + best[static_cast<std::size_t>(m + other.slots)] -
                         best[static_cast<std::size_t>(m)]);
      }
    }
    if (!result.characters.empty() && idle >= kWordSpaceDots) {
      result.characters.push_back(
          DecodedCharacter{U' ', "", startOf(m), 0.0, 1.0, result.offsetHz});
    }
    DecodedCharacter read;
    read.confidence = std::clamp(1.0 / ways, 0.0, 1.0);
    read.character = read.confidence < kUnreadableBelow ? kUnreadable : shape.character;
    read.pattern = std::string(shape.pattern);
    read.startSeconds = startOf(m);
    read.seconds = static_cast<double>(shape.slots) * result.symbolSeconds;
    read.offsetHz = result.offsetHz;
    result.characters.push_back(read);
    idle = 0;
    m += shape.slots;
  }
  if (!result.characters.empty()) {
    result.found = true;
    result.startSeconds = result.characters.front().startSeconds;
    result.endSeconds = result.characters.back().startSeconds + result.characters.back().seconds;
  }
  result.text = textOf(result.characters);
  if (result.found) {
    // One transmission: the reader takes the offset as steady over the recording.
    result.passes.push_back(DecodedPass{result.characters, result.text, result.startSeconds,
                                        result.endSeconds, result.offsetHz, result.offsetHz, 0.0,
                                        result.snrDb});
  }
  return result;
}

}  // namespace bitoner::decode
