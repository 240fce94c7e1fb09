// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/decoder.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <utility>

#include "decode/fft.h"
#include "engine/patterns.h"

namespace bitoner::decode {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr std::size_t kToneCount = 3;
constexpr std::size_t kIdle = 0;
constexpr std::size_t kDot = 1;
constexpr std::size_t kDash = 2;

// Steps of the timing search per symbol: a step's misplacement costs at most 1/64 of a symbol's
// energy at either end.
constexpr double kStepsPerSymbol = 32.0;
// A step must stay short against the largest offset, or the tone's phase turns within it and its
// sum loses energy (sinc(1/8) costs 0.2 dB).
constexpr double kStepsPerOffsetCycle = 8.0;
// Fewer frames per symbol than this leave too little to tell the tones apart.
constexpr std::int64_t kMinSymbolFrames = 8;
// The frequency search looks at spectra this many times finer than one symbol resolves.
constexpr std::int64_t kSpectrumRefinement = 16;
// A character whose reading is less likely than this is shown as unreadable.
constexpr double kUnreadableBelow = 0.3;
constexpr char32_t kUnreadable = U'?';
// The noise floor comes from spectra about this many hertz per bin, in the band this far around
// the tones, and keeps at most this many bin powers (every other one is dropped when full).
constexpr double kNoiseBinHz = 20.0;
constexpr double kNoiseBandMarginHz = 300.0;
constexpr std::size_t kMaxNoisePowers = std::size_t{1} << 18;
// The signal-to-noise ratios per symbol tried for the level, in dB, before the step is halved
// twice around the best and the level refined from what the best reading holds.
constexpr double kLowestSymbolSnrDb = -6.0;
constexpr double kHighestSymbolSnrDb = 66.0;
constexpr double kSymbolSnrStepDb = 8.0;
// A reading must be this much likelier than noise alone, beyond chance over the positions tried.
constexpr double kFoundMargin = 5.0;
// Noise alone, read as the likeliest characters, looks like a signal of about 0 to 3 dB per
// symbol (choosing the stronger tone for every element lends it that much); below 6 dB no signal
// is read without many errors anyway, so weaker readings are taken for noise.
constexpr double kFewestSymbolSnr = 4.0;
constexpr double kReferenceBandwidthHz = 2500.0;

std::int64_t nextPowerOfTwo(std::int64_t n) {
  std::int64_t p = 1;
  while (p < n) {
    p *= 2;
  }
  return p;
}

// ln I0(x) for x >= 0 (Abramowitz and Stegun 9.8.1 and 9.8.2, relative error below 2e-7).
double logBesselI0(double x) {
  constexpr double kSmall = 3.75;
  if (x < kSmall) {
    const double t = (x / kSmall) * (x / kSmall);
    return std::log(
        1.0 + t * (3.5156229 +
                   t * (3.0899424 +
                        t * (1.2067492 + t * (0.2659732 + t * (0.0360768 + t * 0.0045813))))));
  }
  const double t = kSmall / x;
  const double poly =
      0.39894228 +
      t * (0.01328592 +
           t * (0.00225319 +
                t * (-0.00157565 +
                     t * (0.00916281 +
                          t * (-0.02057706 +
                               t * (0.02635537 + t * (-0.01647633 + t * 0.00392377)))))));
  return x - 0.5 * std::log(x) + std::log(poly);
}

double logAddExp(double a, double b) {
  if (a < b) {
    std::swap(a, b);
  }
  return b == -std::numeric_limits<double>::infinity() ? a : a + std::log1p(std::exp(b - a));
}

double median(std::vector<float> values) {
  if (values.empty()) {
    return 0.0;
  }
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// A window whose energy counts towards a reading: a tone over a symbol or over a gap, at an offset
// from the reading's start, in steps.
enum class WindowKind : std::uint8_t { IdleSymbol, DotSymbol, DashSymbol, IdleGap };
inline constexpr std::size_t kWindowKinds = 4;

struct Window {
  WindowKind kind;
  std::int64_t offset;
};

// One way to go on from a character boundary: a character (or a word space) of a given length.
struct Reading {
  char32_t character;  // ' ' for a word space
  std::string_view pattern;
  std::int64_t steps;  // its length, the following boundary
  std::int64_t reach;  // how far its windows reach
  std::vector<Window> windows;
  std::size_t node;  // its pattern's place in a binary tree of patterns, level by level
};

// The longest pattern in the table.
constexpr std::size_t kMostElements = 6;

// Where a character's windows lie, in steps from its start, by element.
struct Layout {
  std::array<std::int64_t, kMostElements> element{};
  std::array<std::int64_t, kMostElements> gap{};
  std::array<std::int64_t, kMostElements + 1> idle{};  // after that many elements
  bool gaps = false;
};

// The tree place of a pattern: the patterns of k elements follow those of fewer.
std::size_t nodeOf(std::string_view pattern) {
  std::size_t bits = 0;
  for (const char c : pattern) {
    bits = 2 * bits + (c == '1' ? 1 : 0);
  }
  return (std::size_t{1} << pattern.size()) - 1 + bits;
}

}  // namespace

struct Decoder::NoiseFloor {
  NoiseFloor(std::int64_t size, std::vector<std::int64_t> chosenBins)
      : transform(size), bins(std::move(chosenBins)), window(static_cast<std::size_t>(size)) {
    for (std::int64_t k = 0; k < size; ++k) {
      const double w =
          0.5 - 0.5 * std::cos(kTwoPi * (static_cast<double>(k) + 0.5) / static_cast<double>(size));
      window[static_cast<std::size_t>(k)] = w;
      windowPower += w * w;
    }
    input.resize(static_cast<std::size_t>(size));
  }

  void add(std::complex<float> sample) {
    input[static_cast<std::size_t>(fill++)] = sample;
    if (fill == transform.size()) {
      fill = 0;
      for (std::int64_t k = 0; k < transform.size(); ++k) {
        const auto at = static_cast<std::size_t>(k);
        transform.set(k, std::complex<double>(input[at]) * window[at]);
      }
      transform.execute();
      if (powers.size() + bins.size() > kMaxNoisePowers) {
        // Every other value, so the floor still comes from the whole recording.
        std::size_t kept = 0;
        for (std::size_t k = 0; k < powers.size(); k += 2) {
          powers[kept++] = powers[k];
        }
        powers.resize(kept);
        ++thinning;
      }
      if (spectra++ % (std::int64_t{1} << thinning) == 0) {
        for (const std::int64_t bin : bins) {
          powers.push_back(static_cast<float>(transform.power(bin)));
        }
      }
    }
  }

  // The noise power per complex sample: the median of exponentially distributed bin powers is ln 2
  // times their mean.
  double samplePower() const { return median(powers) / std::numbers::ln2 / windowPower; }

  Transform transform;
  std::vector<std::int64_t> bins;
  std::vector<double> window;
  double windowPower = 0.0;
  std::vector<std::complex<float>> input;
  std::int64_t fill = 0;
  std::int64_t spectra = 0;
  int thinning = 0;
  std::vector<float> powers;
};

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
  if (!(settings.searchHz >= 0.0) || !std::isfinite(settings.searchHz)) {
    throw SettingsError("the frequency search must be zero or more hertz");
  }
  const double symbolSeconds = static_cast<double>(symbolFrames_) / rate;
  for (std::size_t a = 0; a < kToneCount; ++a) {
    const double f = settings.toneHz[a];
    if (!std::isfinite(f) || std::fabs(f) + settings.searchHz >= rate / 2.0) {
      throw SettingsError("the tones and the search must lie within half the sample rate");
    }
    for (std::size_t b = a + 1; b < kToneCount; ++b) {
      const double apart = std::fabs(f - settings.toneHz[b]);
      if (apart < 1.0 / symbolSeconds || apart <= 2.0 * settings.searchHz) {
        throw SettingsError(
            "the tones are too close to be told apart: they must be more than twice the search "
            "and at least one symbol's resolution apart");
      }
    }
  }

  const auto byResolution = static_cast<std::int64_t>(
      std::nearbyint(static_cast<double>(symbolFrames_) / kStepsPerSymbol));
  const auto byOffset = static_cast<std::int64_t>(
      std::floor(rate / (kStepsPerOffsetCycle * (settings.searchHz + 1.0 / symbolSeconds))));
  blockFrames_ = std::max<std::int64_t>(1, std::min(byResolution, byOffset));

  for (std::size_t t = 0; t < kToneCount; ++t) {
    const double cyclesPerFrame = settings.toneHz[t] / rate;
    mixers_[t].resize(static_cast<std::size_t>(blockFrames_));
    for (std::int64_t k = 0; k < blockFrames_; ++k) {
      mixers_[t][static_cast<std::size_t>(k)] = std::polar(
          1.0F,
          static_cast<float>(-kTwoPi * std::fmod(cyclesPerFrame * static_cast<double>(k), 1.0)));
    }
    blockTurns_[t] = std::fmod(cyclesPerFrame * static_cast<double>(blockFrames_), 1.0);
  }

  // Noise bins: in the band around the tones, clear of each tone and its offsets.
  const std::int64_t size = std::clamp<std::int64_t>(
      nextPowerOfTwo(static_cast<std::int64_t>(rate / kNoiseBinHz)), 64, std::int64_t{1} << 16);
  const double binHz = rate / static_cast<double>(size);
  const auto [lowest, highest] =
      std::minmax_element(settings.toneHz.begin(), settings.toneHz.end());
  std::vector<std::int64_t> near;
  std::vector<std::int64_t> anywhere;
  for (std::int64_t k = 0; k < size; ++k) {
    const double f = static_cast<double>(k < size / 2 ? k : k - size) * binHz;
    bool clear = true;
    for (const double tone : settings.toneHz) {
      clear = clear && std::fabs(f - tone) > settings.searchHz + 3.0 * binHz;
    }
    if (clear) {
      anywhere.push_back(k);
      if (f > *lowest - kNoiseBandMarginHz && f < *highest + kNoiseBandMarginHz) {
        near.push_back(k);
      }
    }
  }
  constexpr std::size_t kFewestBins = 4;
  noise_ = std::make_unique<NoiseFloor>(size, near.size() >= kFewestBins ? near : anywhere);
}

Decoder::~Decoder() = default;

void Decoder::feed(std::span<const std::complex<float>> samples) {
  std::size_t at = 0;
  while (at < samples.size()) {
    const auto run = std::min<std::size_t>(samples.size() - at,
                                           static_cast<std::size_t>(blockFrames_ - inBlock_));
    for (std::size_t t = 0; t < kToneCount; ++t) {
      // Plain real arithmetic: std::complex's product checks for infinities on every sample.
      const std::complex<float>* mixer = mixers_[t].data() + inBlock_;
      float re = 0.0F;
      float im = 0.0F;
      for (std::size_t k = 0; k < run; ++k) {
        const float xr = samples[at + k].real();
        const float xi = samples[at + k].imag();
        const float mr = mixer[k].real();
        const float mi = mixer[k].imag();
        re += xr * mr - xi * mi;
        im += xr * mi + xi * mr;
      }
      partial_[t] += std::complex<double>(re, im);
    }
    for (std::size_t k = 0; k < run; ++k) {
      noise_->add(samples[at + k]);
    }
    at += run;
    inBlock_ += static_cast<std::int64_t>(run);
    frames_ += static_cast<std::int64_t>(run);
    if (inBlock_ == blockFrames_) {
      finishBlock();
    }
  }
}

void Decoder::finishBlock() {
  for (std::size_t t = 0; t < kToneCount; ++t) {
    // The mixer restarts every block; this turns each block's sum to the phase it has in the
    // whole recording.
    const double turns = std::fmod(blockTurns_[t] * static_cast<double>(blocks_), 1.0);
    toneBlocks_[t].push_back(partial_[t] * std::polar(1.0, -kTwoPi * turns));
    partial_[t] = 0.0;
  }
  inBlock_ = 0;
  ++blocks_;
}

std::string textOf(const std::vector<DecodedCharacter>& characters) {
  std::u32string text;
  for (const DecodedCharacter& c : characters) {
    if (c.character == U' ') {
      if (!text.empty() && text.back() != U' ') {
        text.push_back(U' ');
      }
    } else {
      text.push_back(c.character);
    }
  }
  while (!text.empty() && text.back() == U' ') {
    text.pop_back();
  }
  std::string bytes;
  for (const char32_t c : text) {
    bytes.push_back(static_cast<char>(c));  // the table's characters are all ASCII
  }
  return bytes;
}

namespace {

// Everything the timing and character search needs, for one level.
class Search {
 public:
  Search(const std::array<std::vector<double>, kWindowKinds>& magnitudes,
         const std::array<std::int64_t, kWindowKinds>& windowFrames,
         const std::vector<Reading>& readings, const Layout& layout, std::int64_t steps)
      : magnitudes_(magnitudes),
        windowFrames_(windowFrames),
        readings_(readings),
        layout_(layout),
        steps_(steps) {}

  // The scores of every reading starting at `at`, by way of the scores of every pattern prefix,
  // which the patterns share.
  void scoresAt(std::int64_t at, std::vector<double>& out) const {
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    const auto window = [&](WindowKind kind, std::int64_t offset) {
      const std::vector<double>& s = scores_[static_cast<std::size_t>(kind)];
      const auto index = static_cast<std::size_t>(at + offset);
      return index < s.size() ? s[index] : kNone;
    };
    std::array<double, (std::size_t{2} << kMostElements) - 1> prefix{};
    for (std::size_t level = 0; level < kMostElements; ++level) {
      const double gap = layout_.gaps ? window(WindowKind::IdleGap, layout_.gap[level]) : 0.0;
      const double dot = window(WindowKind::DotSymbol, layout_.element[level]) + gap;
      const double dash = window(WindowKind::DashSymbol, layout_.element[level]) + gap;
      const std::size_t first = (std::size_t{1} << level) - 1;
      const std::size_t next = (std::size_t{2} << level) - 1;
      for (std::size_t b = 0; b < (std::size_t{1} << level); ++b) {
        prefix[next + 2 * b] = prefix[first + b] + dot;
        prefix[next + 2 * b + 1] = prefix[first + b] + dash;
      }
    }
    std::array<double, kMostElements + 1> idle{};
    for (std::size_t k = 0; k <= kMostElements; ++k) {
      idle[k] = window(WindowKind::IdleSymbol, layout_.idle[k]);
    }
    out.resize(readings_.size());
    for (std::size_t r = 0; r < readings_.size(); ++r) {
      out[r] = prefix[readings_[r].node] + idle[readings_[r].pattern.size()];
    }
  }

  // The log-likelihood ratios of every window for a level `u` (amplitude over noise RMS per
  // sample).
  void setLevel(double u) {
    for (std::size_t kind = 0; kind < kWindowKinds; ++kind) {
      const auto frames = static_cast<double>(windowFrames_[kind]);
      const std::vector<double>& m = magnitudes_[kind];
      std::vector<double>& out = scores_[kind];
      out.resize(m.size());
      for (std::size_t k = 0; k < m.size(); ++k) {
        out[k] = logBesselI0(2.0 * u * m[k]) - u * u * frames;
      }
    }
  }

  double score(const Reading& reading, std::int64_t at) const {
    double sum = 0.0;
    for (const Window& w : reading.windows) {
      sum += scores_[static_cast<std::size_t>(w.kind)][static_cast<std::size_t>(at + w.offset)];
    }
    return sum;
  }

  // The best path: its score and, through `from` and `via`, the readings it is made of.
  double viterbi(std::vector<std::int64_t>& from, std::vector<std::int32_t>& via,
                 std::int64_t& end) const {
    const auto n = static_cast<std::size_t>(steps_ + 1);
    std::vector<double> best(n, 0.0);
    from.assign(n, -1);
    via.assign(n, -1);
    std::vector<double> scores;
    for (std::int64_t t = 0; t <= steps_; ++t) {
      const double here = best[static_cast<std::size_t>(t)];
      scoresAt(t, scores);
      for (std::size_t r = 0; r < readings_.size(); ++r) {
        const Reading& reading = readings_[r];
        if (t + reading.reach > steps_) {
          continue;
        }
        const double s = here + scores[r];
        const auto to = static_cast<std::size_t>(t + reading.steps);
        if (s > best[to]) {
          best[to] = s;
          from[to] = t;
          via[to] = static_cast<std::int32_t>(r);
        }
      }
    }
    const auto top = std::max_element(best.begin(), best.end());
    end = top - best.begin();
    return *top;
  }

  // For every boundary, the log of the summed likelihood ratios of all ways on from it (ending
  // there included).
  std::vector<double> backward() const {
    const auto n = static_cast<std::size_t>(steps_ + 1);
    std::vector<double> beta(n, 0.0);
    std::vector<double> terms;
    for (std::int64_t t = steps_; t >= 0; --t) {
      double total = 0.0;  // ending here
      for (const Reading& reading : readings_) {
        if (t + reading.reach <= steps_) {
          total = logAddExp(total,
                            score(reading, t) + beta[static_cast<std::size_t>(t + reading.steps)]);
        }
      }
      beta[static_cast<std::size_t>(t)] = total;
    }
    return beta;
  }

 private:
  const std::array<std::vector<double>, kWindowKinds>& magnitudes_;
  const std::array<std::int64_t, kWindowKinds>& windowFrames_;
  const std::vector<Reading>& readings_;
  const Layout& layout_;
  std::int64_t steps_;
  std::array<std::vector<double>, kWindowKinds> scores_;
};

}  // namespace

Decoded Decoder::decode() const {
  Decoded result;
  const double rate = settings_.sampleRateHz;
  const auto blockFrames = static_cast<double>(blockFrames_);
  const double stepSeconds = blockFrames / rate;
  result.symbolSeconds = static_cast<double>(symbolFrames_) / rate;
  result.gapSeconds = static_cast<double>(gapFrames_) / rate;
  result.stepSeconds = stepSeconds;

  const std::int64_t steps = blocks_;
  const auto symbolSteps = std::max<std::int64_t>(
      1,
      static_cast<std::int64_t>(std::nearbyint(static_cast<double>(symbolFrames_) / blockFrames)));
  const auto gapSteps =
      static_cast<std::int64_t>(std::nearbyint(static_cast<double>(gapFrames_) / blockFrames));
  if (steps < symbolSteps * 3) {
    return result;
  }

  // The noise floor; a recording shorter than one spectrum takes it from the tones' own sums.
  double noisePower = noise_->samplePower();
  if (noise_->powers.empty()) {
    std::vector<float> powers;
    for (const auto& blocks : toneBlocks_) {
      for (const std::complex<double>& z : blocks) {
        powers.push_back(static_cast<float>(std::norm(z)));
      }
    }
    noisePower = median(powers) / std::numbers::ln2 / blockFrames;
  }
  constexpr double kSmallestPower = 1e-30;
  noisePower = std::max(noisePower, kSmallestPower);
  const double noiseRms = std::sqrt(noisePower);

  // The frequency offset: the peak of the tones' spectra over symbol-long windows, summed.
  const double stepRate = rate / blockFrames;
  double offsetHz = 0.0;
  if (settings_.searchHz > 0.0) {
    Transform transform(
        nextPowerOfTwo(std::max<std::int64_t>(64, kSpectrumRefinement * symbolSteps)));
    const std::int64_t size = transform.size();
    const double binHz = stepRate / static_cast<double>(size);
    const auto reach = std::min<std::int64_t>(
        size / 2 - 2, static_cast<std::int64_t>(std::ceil(settings_.searchHz / binHz)) + 1);
    std::vector<double> sum(static_cast<std::size_t>(2 * reach + 1), 0.0);
    const std::int64_t hop = std::max<std::int64_t>(1, symbolSteps / 2);
    for (const auto& blocks : toneBlocks_) {
      for (std::int64_t first = 0; first + symbolSteps <= steps; first += hop) {
        for (std::int64_t k = 0; k < size; ++k) {
          transform.set(k, k < symbolSteps ? blocks[static_cast<std::size_t>(first + k)] : 0.0);
        }
        transform.execute();
        for (std::int64_t k = -reach; k <= reach; ++k) {
          sum[static_cast<std::size_t>(k + reach)] += transform.power((k + size) % size);
        }
      }
    }
    std::int64_t peak = 0;
    for (std::int64_t k = -reach; k <= reach; ++k) {
      if (std::fabs(static_cast<double>(k) * binHz) <= settings_.searchHz &&
          sum[static_cast<std::size_t>(k + reach)] > sum[static_cast<std::size_t>(peak + reach)]) {
        peak = k;
      }
    }
    double fraction = 0.0;
    if (peak > -reach && peak < reach) {
      const double a = sum[static_cast<std::size_t>(peak + reach - 1)];
      const double b = sum[static_cast<std::size_t>(peak + reach)];
      const double c = sum[static_cast<std::size_t>(peak + reach + 1)];
      const double curve = a - 2.0 * b + c;
      fraction = curve < 0.0 ? 0.5 * (a - c) / curve : 0.0;
    }
    offsetHz = std::clamp((static_cast<double>(peak) + fraction) * binHz, -settings_.searchHz,
                          settings_.searchHz);
  }
  result.offsetHz = offsetHz;

  // Running sums of each tone, turned back by the offset and scaled to the noise RMS: any window's
  // sum is then a difference of two of them.
  std::array<std::vector<std::complex<double>>, kToneCount> running;
  for (std::size_t t = 0; t < kToneCount; ++t) {
    running[t].resize(static_cast<std::size_t>(steps + 1));
    std::complex<double> total = 0.0;
    const std::complex<double> turn = std::polar(1.0, -kTwoPi * offsetHz / stepRate);
    std::complex<double> phasor = 1.0 / noiseRms;
    for (std::int64_t m = 0; m < steps; ++m) {
      running[t][static_cast<std::size_t>(m)] = total;
      total += toneBlocks_[t][static_cast<std::size_t>(m)] * phasor;
      phasor *= turn;
      constexpr std::int64_t kRenormalise = 1024;
      if (m % kRenormalise == 0) {
        phasor =
            std::polar(1.0 / noiseRms,
                       -kTwoPi * std::fmod(offsetHz / stepRate * static_cast<double>(m + 1), 1.0));
      }
    }
    running[t][static_cast<std::size_t>(steps)] = total;
  }

  std::array<std::vector<double>, kWindowKinds> magnitudes;
  std::array<std::int64_t, kWindowKinds> windowFrames{};
  const std::array<std::pair<std::size_t, std::int64_t>, kWindowKinds> kinds{
      {{kIdle, symbolSteps}, {kDot, symbolSteps}, {kDash, symbolSteps}, {kIdle, gapSteps}}};
  for (std::size_t kind = 0; kind < kWindowKinds; ++kind) {
    const auto [tone, length] = kinds[kind];
    windowFrames[kind] = length * blockFrames_;
    if (length == 0) {
      continue;
    }
    std::vector<double>& m = magnitudes[kind];
    m.resize(static_cast<std::size_t>(steps - length + 1));
    for (std::int64_t k = 0; k + length <= steps; ++k) {
      m[static_cast<std::size_t>(k)] =
          std::abs(running[tone][static_cast<std::size_t>(k + length)] -
                   running[tone][static_cast<std::size_t>(k)]);
    }
  }

  // The readings: every character of the pattern table, and a word space, each at the two whole
  // step counts around its exact length so that the boundaries follow the frames.
  std::vector<Reading> readings;
  const PatternTable table = CWchars();
  const auto stepOf = [&](double frames) {
    return static_cast<std::int64_t>(std::nearbyint(frames / blockFrames));
  };
  const auto element = static_cast<double>(symbolFrames_ + gapFrames_);
  Layout layout;
  layout.gaps = gapSteps > 0;
  for (std::size_t i = 0; i <= kMostElements; ++i) {
    const double start = static_cast<double>(i) * element;
    layout.idle[i] = stepOf(start);
    if (i < kMostElements) {
      layout.element[i] = stepOf(start);
      layout.gap[i] = stepOf(start + static_cast<double>(symbolFrames_));
    }
  }
  const auto addReading = [&](char32_t character, std::string_view pattern) {
    std::vector<Window> windows;
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      windows.push_back(
          {pattern[i] == '0' ? WindowKind::DotSymbol : WindowKind::DashSymbol, layout.element[i]});
      if (layout.gaps) {
        windows.push_back({WindowKind::IdleGap, layout.gap[i]});
      }
    }
    windows.push_back({WindowKind::IdleSymbol, layout.idle[pattern.size()]});
    std::int64_t reach = 0;
    for (const Window& w : windows) {
      reach = std::max(reach, w.offset + (w.kind == WindowKind::IdleGap ? gapSteps : symbolSteps));
    }
    const double frames =
        static_cast<double>(pattern.size()) * element + static_cast<double>(symbolFrames_);
    const auto low = static_cast<std::int64_t>(std::floor(frames / blockFrames));
    for (const std::int64_t length : {low, low + 1}) {
      if (length > 0) {
        readings.push_back(
            {character, pattern, length, std::max(reach, length), windows, nodeOf(pattern)});
      }
    }
  };
  for (std::size_t code = 0; code < table.size(); ++code) {
    const std::string_view pattern = table[code];
    bool seen = false;
    for (const Reading& r : readings) {
      seen = seen || r.pattern == pattern;
    }
    if (!pattern.empty() && !seen && pattern.size() <= kMostElements) {
      addReading(static_cast<char32_t>(code), pattern);
    }
  }
  addReading(U' ', "");

  // The level: the one whose best reading is likeliest, then refined from what that reading
  // found in its windows.
  Search search(magnitudes, windowFrames, readings, layout, steps);
  std::vector<std::int64_t> from;
  std::vector<std::int32_t> via;
  std::int64_t end = 0;
  const auto symbolFramesD = static_cast<double>(symbolSteps * blockFrames_);
  const auto levelFor = [&](double symbolSnrDb) {
    return std::sqrt(std::pow(10.0, symbolSnrDb / 10.0) / symbolFramesD);
  };
  double bestScore = -1.0;
  double bestDb = kLowestSymbolSnrDb;
  const auto tryLevel = [&](double db) {
    search.setLevel(levelFor(db));
    const double s = search.viterbi(from, via, end);
    if (s > bestScore) {
      bestScore = s;
      bestDb = db;
    }
  };
  for (double db = kLowestSymbolSnrDb; db <= kHighestSymbolSnrDb; db += kSymbolSnrStepDb) {
    tryLevel(db);
  }
  // Halving the step twice around the best so far.
  for (double step = kSymbolSnrStepDb / 2.0; step >= kSymbolSnrStepDb / 4.0; step /= 2.0) {
    const double around = bestDb;
    tryLevel(around - step);
    tryLevel(around + step);
  }
  double u = levelFor(bestDb);
  search.setLevel(u);
  double score = search.viterbi(from, via, end);
  std::vector<std::pair<std::int64_t, std::int32_t>> path;  // (start, reading)
  const auto trace = [&] {
    path.clear();
    for (std::int64_t t = end; from[static_cast<std::size_t>(t)] >= 0;
         t = from[static_cast<std::size_t>(t)]) {
      path.emplace_back(from[static_cast<std::size_t>(t)], via[static_cast<std::size_t>(t)]);
    }
    std::reverse(path.begin(), path.end());
  };
  trace();
  {
    double energy = 0.0;
    double frames = 0.0;
    double framesSquared = 0.0;
    for (const auto& [start, r] : path) {
      for (const Window& w : readings[static_cast<std::size_t>(r)].windows) {
        const auto kind = static_cast<std::size_t>(w.kind);
        const double y = magnitudes[kind][static_cast<std::size_t>(start + w.offset)];
        const auto n = static_cast<double>(windowFrames[kind]);
        energy += y * y;
        frames += n;
        framesSquared += n * n;
      }
    }
    const double estimate = framesSquared > 0.0 ? (energy - frames) / framesSquared : 0.0;
    if (estimate > 0.0) {
      search.setLevel(std::sqrt(estimate));
      const double refined = search.viterbi(from, via, end);
      if (refined >= score) {
        score = refined;
        u = std::sqrt(estimate);
        trace();
      } else {
        search.setLevel(u);
        search.viterbi(from, via, end);
      }
    }
  }
  result.snrDb = 10.0 * std::log10(u * u * rate / kReferenceBandwidthHz);
  if (path.empty() || score < std::log(static_cast<double>(steps)) + kFoundMargin ||
      u * u * symbolFramesD < kFewestSymbolSnr) {
    return result;
  }

  const std::vector<double> beta = search.backward();
  for (const auto& [start, r] : path) {
    const Reading& reading = readings[static_cast<std::size_t>(r)];
    // How likely this character is, given that a character starts here, against every other way
    // on; both lengths of the same character count for it.
    double same = -std::numeric_limits<double>::infinity();
    for (const Reading& other : readings) {
      if (other.character == reading.character && start + other.reach <= steps) {
        same = logAddExp(
            same, search.score(other, start) + beta[static_cast<std::size_t>(start + other.steps)]);
      }
    }
    DecodedCharacter c;
    c.confidence = std::clamp(std::exp(same - beta[static_cast<std::size_t>(start)]), 0.0, 1.0);
    c.character = (c.confidence < kUnreadableBelow && reading.character != U' ')
                      ? kUnreadable
                      : reading.character;
    c.pattern = std::string(reading.pattern);
    c.startSeconds = static_cast<double>(start) * stepSeconds;
    c.seconds = static_cast<double>(reading.steps) * stepSeconds;
    result.characters.push_back(c);
  }
  // Word spaces at either end are only idle tone around the message.
  while (!result.characters.empty() && result.characters.back().character == U' ') {
    result.characters.pop_back();
  }
  while (!result.characters.empty() && result.characters.front().character == U' ') {
    result.characters.erase(result.characters.begin());
  }
  result.found = !result.characters.empty();
  if (result.found) {
    result.startSeconds = result.characters.front().startSeconds;
    result.endSeconds = result.characters.back().startSeconds + result.characters.back().seconds;
  }
  result.text = textOf(result.characters);
  return result;
}

}  // namespace bitoner::decode
