// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/frequency_track.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <numbers>

#include "decode/character_search.h"
#include "decode/fft.h"

namespace bitoner::decode {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// Spectra this many times finer than a symbol resolves.
constexpr std::int64_t kRefinement = 8;
// The symbol's signal-to-noise ratio the likelihoods are figured for: about the weakest signal
// read without many errors.
constexpr double kTrackSymbolSnr = 10.0;
// Starting again elsewhere costs this much (natural log): a track leaves its line only for a
// clearly better one.
constexpr double kJumpCost = 12.0;
// The path is smoothed over this many symbols either side, or longer, up to a limit, where the
// drift bound moves the tones less than this share of a symbol's resolution meanwhile.
constexpr double kSmoothSymbols = 3.0;
constexpr double kLongestSmoothSeconds = 20.0;
constexpr double kSmoothResolution = 0.1;
// The path through noise alone finds likelihoods up to about this beside it (the strongest of
// the bins it may wander to); only a hop beyond it is taken to hold a tone.
constexpr double kNoiseLikelihood = 8.0;
// The smoothing's line is drawn on no further than the last hop whose likelihood passes this:
// near threshold a tone reads below what noise reaches at its strongest, and a line held from
// further in would leave a drifting transmission's ends behind.
constexpr double kLineLikelihood = kNoiseLikelihood / 2.0;
// Where no hop within the smoothing holds a tone (a pause between words, noise before a
// transmission), the offset is drawn between the tones heard nearest, up to this far either
// side, rather than taken from noise: at a place where noise was followed, noise looks like a tone.
constexpr double kLongestHoldSeconds = 60.0;
// Moves are kept as 16-bit bin counts.
constexpr std::int64_t kMostMovePerHop = 30000;

// Hops where no tone was heard take the offset drawn straight between the nearest heard hops
// within `farthest` on either side, or the one side's.
void holdBetweenHeard(std::vector<double>& offset, const std::vector<std::uint8_t>& heard,
                      std::int64_t farthest) {
  const auto count = static_cast<std::int64_t>(offset.size());
  std::int64_t before = -1;  // the last heard hop
  for (std::int64_t h = 0; h <= count; ++h) {
    if (h < count && heard[static_cast<std::size_t>(h)] == 0) {
      continue;
    }
    for (std::int64_t k = before + 1; k < h; ++k) {
      const bool left = before >= 0 && k - before <= farthest;
      const bool right = h < count && h - k <= farthest;
      const double a = left ? offset[static_cast<std::size_t>(before)] : 0.0;
      const double b = right ? offset[static_cast<std::size_t>(h)] : 0.0;
      if (left && right) {
        const double w = static_cast<double>(k - before) / static_cast<double>(h - before);
        offset[static_cast<std::size_t>(k)] = (1.0 - w) * a + w * b;
      } else if (left || right) {
        offset[static_cast<std::size_t>(k)] = left ? a : b;
      }
    }
    before = h;
  }
}

// A weighted straight line through the path around a hop (at 0): a mean alone is pulled towards
// the side it has more of, which at a transmission's ends or beside a pause is a drifting tone's
// later or earlier offset.
struct LineFit {
  double weights = 0.0;
  double x = 0.0;
  double y = 0.0;
  double xx = 0.0;
  double xy = 0.0;

  void add(double at, double value, double weight) {
    weights += weight;
    x += weight * at;
    y += weight * value;
    xx += weight * at * at;
    xy += weight * at * value;
  }
  // The line's slope, no steeper than `steepest` either way.
  double slope(double steepest) const {
    if (weights <= 0.0) {
      return 0.0;
    }
    const double meanX = x / weights;
    const double spread = xx / weights - meanX * meanX;
    return spread > kLeastSpread
               ? std::clamp((xy / weights - meanX * y / weights) / spread, -steepest, steepest)
               : 0.0;
  }
  // Its value at 0 with a slope.
  double at(double slope) const { return (y - slope * x) / weights; }
  static constexpr double kLeastSpread = 0.25;  // hops squared
};

}  // namespace

std::vector<float> trackFrequency(std::span<const std::span<const std::complex<float>>> tones,
                                  const TrackSettings& settings) {
  const auto blocks = static_cast<std::int64_t>(tones.empty() ? 0 : tones[0].size());
  std::vector<float> track(static_cast<std::size_t>(blocks), 0.0F);
  const std::int64_t length = settings.symbolBlocks;
  const std::int64_t hop = std::max<std::int64_t>(1, length / 2);
  if (blocks < length || length < 1 || settings.rangeHz <= 0.0 || settings.noiseBlockPower <= 0.0) {
    return track;
  }
  const std::int64_t hops = (blocks - length) / hop + 1;
  Transform transform(nextPowerOfTwo(kRefinement * length));
  const std::int64_t size = transform.size();
  const double binHz = settings.blockRateHz / static_cast<double>(size);
  const auto reach = std::min<std::int64_t>(
      size / 2 - 1, static_cast<std::int64_t>(std::floor(settings.rangeHz / binHz)));
  const auto startReach = std::min<std::int64_t>(
      reach, static_cast<std::int64_t>(std::floor(settings.searchHz / binHz)));
  // Bins the track may move per hop; below one, a bin every so many hops.
  const double binsPerHop =
      settings.driftHzPerSecond * static_cast<double>(hop) / settings.blockRateHz / binHz;
  const auto move =
      std::min<std::int64_t>(kMostMovePerHop, static_cast<std::int64_t>(std::ceil(binsPerHop)));
  const auto hopsPerBin = binsPerHop > 0.0 && binsPerHop < 1.0
                              ? static_cast<std::int64_t>(std::ceil(1.0 / binsPerHop))
                              : std::int64_t{1};
  // Smoothed over a few symbols, longer where the drift allowed moves the tones little in that
  // time.
  const double symbolSeconds = static_cast<double>(length) / settings.blockRateHz;
  const double hopSeconds = static_cast<double>(hop) / settings.blockRateHz;
  const double smoothSeconds =
      std::max(kSmoothSymbols * symbolSeconds,
               std::min(kLongestSmoothSeconds,
                        settings.driftHzPerSecond > 0.0
                            ? kSmoothResolution / (symbolSeconds * settings.driftHzPerSecond)
                            : kLongestSmoothSeconds));
  const auto smoothHops =
      std::max<std::int64_t>(1, static_cast<std::int64_t>(smoothSeconds / hopSeconds));
  const auto bins = static_cast<std::size_t>(2 * reach + 1);
  // The smoothing follows a slope only where the drift allowed moves the tones by more than the
  // share of a symbol's resolution over half of it: short symbols resolve coarsely enough that a
  // slope drawn from the path's wobble would cost more than it mends. Nor where the pauses are
  // silence: there the hold between the tones heard already keeps the ends, and a slope drawn
  // through key-up reads the slow modes worse near threshold.
  const double steepest =
      !settings.silentPauses &&
              settings.driftHzPerSecond * smoothSeconds / 2.0 > kSmoothResolution / symbolSeconds
          ? binsPerHop
          : 0.0;

  // The likelihood, hop by hop, that a tone lies at each offset.
  const double scale = 1.0 / (static_cast<double>(length) * settings.noiseBlockPower);
  const double rho = kTrackSymbolSnr;
  std::vector<std::vector<float>> likelihood(static_cast<std::size_t>(hops),
                                             std::vector<float>(bins));
  std::vector<std::vector<double>> perTone(tones.size(), std::vector<double>(bins));
  for (std::int64_t h = 0; h < hops; ++h) {
    for (std::size_t t = 0; t < tones.size(); ++t) {
      for (std::int64_t k = 0; k < size; ++k) {
        transform.set(k, k < length
                             ? std::complex<double>(tones[t][static_cast<std::size_t>(h * hop + k)])
                             : 0.0);
      }
      transform.execute();
      for (std::int64_t k = -reach; k <= reach; ++k) {
        const double z = transform.power((k + size) % size) * scale;
        perTone[t][static_cast<std::size_t>(k + reach)] =
            logBesselI0(2.0 * std::sqrt(rho * z)) - rho;
      }
    }
    std::vector<float>& out = likelihood[static_cast<std::size_t>(h)];
    for (std::size_t b = 0; b < bins; ++b) {
      double sum = kNoScore;
      for (std::size_t t = 0; t < tones.size(); ++t) {
        sum = logAddExp(sum, perTone[t][b]);
      }
      out[b] = static_cast<float>(sum);
    }
  }

  // The likeliest path: from each bin to one at most `move` away, or anew from the best of all
  // into the search.
  std::vector<double> score(bins, kNoScore);
  std::vector<double> next(bins);
  for (std::int64_t k = -startReach; k <= startReach; ++k) {
    score[static_cast<std::size_t>(k + reach)] = likelihood[0][static_cast<std::size_t>(k + reach)];
  }
  constexpr std::int16_t kJumped = std::numeric_limits<std::int16_t>::min();
  std::vector<std::vector<std::int16_t>> cameFrom(static_cast<std::size_t>(hops),
                                                  std::vector<std::int16_t>(bins, 0));
  std::vector<std::size_t> jumpedFrom(static_cast<std::size_t>(hops), 0);
  std::deque<std::int64_t> window;
  for (std::int64_t h = 1; h < hops; ++h) {
    const auto top =
        static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
    jumpedFrom[static_cast<std::size_t>(h)] = top;
    const double jump = score[top] - kJumpCost;
    std::vector<std::int16_t>& from = cameFrom[static_cast<std::size_t>(h)];
    const std::vector<float>& here = likelihood[static_cast<std::size_t>(h)];
    // The best within `reachNow` of each bin, by a sliding maximum: linear in the bins however
    // far the drift bound lets the track move in a hop.
    const std::int64_t reachNow = h % hopsPerBin == 0 ? move : 0;
    const auto count = static_cast<std::int64_t>(bins);
    window.clear();
    std::int64_t pushed = 0;
    for (std::int64_t b = 0; b < count; ++b) {
      for (; pushed < count && pushed <= b + reachNow; ++pushed) {
        while (!window.empty() && score[static_cast<std::size_t>(window.back())] <=
                                      score[static_cast<std::size_t>(pushed)]) {
          window.pop_back();
        }
        window.push_back(pushed);
      }
      while (window.front() < b - reachNow) {
        window.pop_front();
      }
      double best = score[static_cast<std::size_t>(window.front())];
      auto via = static_cast<std::int16_t>(window.front() - b);
      if (std::abs(b - reach) <= startReach && jump > best) {
        best = jump;
        via = kJumped;
      }
      next[static_cast<std::size_t>(b)] =
          best + static_cast<double>(here[static_cast<std::size_t>(b)]);
      from[static_cast<std::size_t>(b)] = via;
    }
    std::swap(score, next);
  }

  // Back along the path; where it jumped, the smoothing stops.
  std::vector<std::int64_t> path(static_cast<std::size_t>(hops));
  std::vector<std::uint8_t> joined(static_cast<std::size_t>(hops), 1);  // to the hop before
  auto at = static_cast<std::size_t>(std::max_element(score.begin(), score.end()) - score.begin());
  for (std::int64_t h = hops - 1; h >= 0; --h) {
    path[static_cast<std::size_t>(h)] = static_cast<std::int64_t>(at);
    if (h == 0) {
      break;
    }
    const std::int16_t via = cameFrom[static_cast<std::size_t>(h)][at];
    if (via == kJumped) {
      joined[static_cast<std::size_t>(h)] = 0;
      at = jumpedFrom[static_cast<std::size_t>(h)];
    } else {
      at = static_cast<std::size_t>(static_cast<std::int64_t>(at) + via);
    }
  }
  // Each hop's offset: the path's mean over the hops around, each weighted by how likely a tone
  // is there (noise around a transmission weighs nothing), moved to the top of their likelihoods
  // summed beside the path.
  std::vector<double> smooth(static_cast<std::size_t>(hops));
  const auto likelihoodAt = [&](std::int64_t h, std::int64_t b) {
    const std::int64_t i = std::clamp<std::int64_t>(b, 0, static_cast<std::int64_t>(bins) - 1);
    return static_cast<double>(
        likelihood[static_cast<std::size_t>(h)][static_cast<std::size_t>(i)]);
  };
  // The path may run anywhere along a ridge as wide as a symbol resolves; its top is looked for
  // that far either side.
  auto width = std::max<std::int64_t>(
      1, static_cast<std::int64_t>(
             std::ceil(settings.blockRateHz / static_cast<double>(length) / binHz)));
  if (settings.tonesApartHz > 0.0) {
    width = std::clamp<std::int64_t>(
        static_cast<std::int64_t>(std::floor(settings.tonesApartHz / 2.0 / binHz)) - 1, 1, width);
  }
  // Between bins, drawn straight.
  const auto likelihoodBetween = [&](std::int64_t h, double b) {
    const double below = std::floor(b);
    const auto i = static_cast<std::int64_t>(below);
    const double w = b - below;
    return (1.0 - w) * likelihoodAt(h, i) + w * likelihoodAt(h, i + 1);
  };
  std::vector<double> around(static_cast<std::size_t>(2 * width + 1));
  std::vector<std::int64_t> fitted;                                 // the hops the line goes by
  std::vector<std::uint8_t> heard(static_cast<std::size_t>(hops));  // a tone within the smoothing
  for (std::int64_t h = 0; h < hops; ++h) {
    std::int64_t low = h;
    while (low > 0 && h - low < smoothHops && joined[static_cast<std::size_t>(low)] != 0) {
      --low;
    }
    std::int64_t high = h;
    while (high + 1 < hops && high - h < smoothHops &&
           joined[static_cast<std::size_t>(high + 1)] != 0) {
      ++high;
    }
    for (std::int64_t k = low; k <= high; ++k) {
      if (likelihoodAt(k, path[static_cast<std::size_t>(k)]) > kNoiseLikelihood) {
        heard[static_cast<std::size_t>(h)] = 1;
      }
    }
    // A hop that holds no tone itself goes by the hops that do, not by the noise beside it.
    const bool holds = !settings.silentPauses ||
                       likelihoodAt(h, path[static_cast<std::size_t>(h)]) > kNoiseLikelihood;
    LineFit line;
    // The hops around where a tone is heard, as places from this one.
    double firstHeard = std::numeric_limits<double>::infinity();
    double lastHeard = -firstHeard;
    fitted.clear();
    for (int pass = 0; pass < 2 && line.weights <= 0.0; ++pass) {
      for (std::int64_t k = low; k <= high; ++k) {
        const std::int64_t b = path[static_cast<std::size_t>(k)];
        // Unweighted when nothing around looks like a tone.
        const double l = likelihoodAt(k, b);
        const double w = pass == 1 ? 1.0 : holds || l > kNoiseLikelihood ? std::max(0.0, l) : 0.0;
        if (w <= 0.0) {
          continue;
        }
        line.add(static_cast<double>(k - h), static_cast<double>(b), w);
        if (l > kLineLikelihood) {
          firstHeard = std::min(firstHeard, static_cast<double>(k - h));
          lastHeard = std::max(lastHeard, static_cast<double>(k - h));
        }
        fitted.push_back(k);
      }
      if (line.weights <= 0.0) {
        fitted.clear();
      }
    }
    // Where no tone is heard around, or beyond the last one heard, the line is not drawn on:
    // through noise alone it would follow noise, which then reads as a tone. Where it is drawn,
    // the ridge's top is looked for beside it rather than beside the path, whose steps around a
    // drifting line would move the top by as much as the line leaves the path's mean.
    const bool drawn = steepest > 0.0 && firstHeard <= lastHeard;
    const double slope = drawn ? line.slope(steepest) : 0.0;
    const double middle = line.at(slope);
    const double held = drawn ? std::clamp(0.0, firstHeard, lastHeard) : 0.0;
    std::fill(around.begin(), around.end(), 0.0);
    for (const std::int64_t k : fitted) {
      const double b = drawn ? middle + slope * static_cast<double>(k - h)
                             : static_cast<double>(path[static_cast<std::size_t>(k)]);
      for (std::int64_t d = -width; d <= width; ++d) {
        around[static_cast<std::size_t>(d + width)] +=
            likelihoodBetween(k, b + static_cast<double>(d));
      }
    }
    // The ridge's top, between bins by the parabola through its neighbours.
    const auto top = std::max_element(around.begin(), around.end()) - around.begin();
    double fraction = 0.0;
    if (top > 0 && top + 1 < static_cast<std::ptrdiff_t>(around.size())) {
      const double below = around[static_cast<std::size_t>(top - 1)];
      const double above = around[static_cast<std::size_t>(top + 1)];
      const double curve = below - 2.0 * around[static_cast<std::size_t>(top)] + above;
      fraction = curve < 0.0 ? std::clamp(0.5 * (below - above) / curve, -0.5, 0.5) : 0.0;
    }
    smooth[static_cast<std::size_t>(h)] =
        (middle + slope * held + static_cast<double>(top - width) - static_cast<double>(reach) +
         fraction) *
        binHz;
  }
  if (settings.silentPauses) {
    holdBetweenHeard(
        smooth, heard,
        std::max<std::int64_t>(1, static_cast<std::int64_t>(kLongestHoldSeconds / hopSeconds)));
  }

  // Block by block, drawn straight between the hops' middles.
  const double firstMiddle = static_cast<double>(length) / 2.0;
  for (std::int64_t m = 0; m < blocks; ++m) {
    const double place =
        std::clamp((static_cast<double>(m) + 0.5 - firstMiddle) / static_cast<double>(hop), 0.0,
                   static_cast<double>(hops - 1));
    const auto h = std::min<std::int64_t>(static_cast<std::int64_t>(place),
                                          std::max<std::int64_t>(0, hops - 2));
    const double w = hops > 1 ? place - static_cast<double>(h) : 0.0;
    const auto i = static_cast<std::size_t>(h);
    const double a = smooth[i];
    const double b = hops > 1 ? smooth[i + 1] : a;
    // A jump lands at once rather than sliding.
    const double f = hops > 1 && joined[i + 1] == 0 ? (w < 0.5 ? a : b) : (1.0 - w) * a + w * b;
    track[static_cast<std::size_t>(m)] = static_cast<float>(f);
  }
  return track;
}

std::vector<std::complex<double>> followTrack(std::span<const std::complex<float>> sums,
                                              const std::vector<float>& trackHz, double blockRateHz,
                                              std::int64_t blocksPerStep) {
  const std::size_t steps = sums.size() / static_cast<std::size_t>(blocksPerStep);
  std::vector<std::complex<double>> out(steps);
  PhaseWalk phase;
  for (std::size_t s = 0; s < steps; ++s) {
    std::complex<double> sum = 0.0;
    for (std::int64_t k = 0; k < blocksPerStep; ++k) {
      const std::size_t m =
          s * static_cast<std::size_t>(blocksPerStep) + static_cast<std::size_t>(k);
      sum += std::complex<double>(sums[m]) *
             std::polar(1.0, -kTwoPi * phase.middle(trackHz[m], 1.0 / blockRateHz));
    }
    out[s] = sum;
  }
  return out;
}

}  // namespace bitoner::decode
