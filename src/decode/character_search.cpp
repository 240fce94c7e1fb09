// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/character_search.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>
#include <utility>

#include "engine/patterns.h"

namespace bitoner::decode {

namespace {}  // namespace

// Abramowitz and Stegun 9.8.1 and 9.8.2, relative error below 2e-7.
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
  return b == kNoScore ? a : a + std::log1p(std::exp(b - a));
}

std::array<std::int64_t, kWindowKinds> windowSteps(const CharacterTiming& timing,
                                                   std::int64_t stepFrames) {
  const auto stepsOf = [&](std::int64_t frames) {
    return std::max<std::int64_t>(
        1, static_cast<std::int64_t>(
               std::nearbyint(static_cast<double>(frames) / static_cast<double>(stepFrames))));
  };
  std::array<std::int64_t, kWindowKinds> steps{};
  steps[static_cast<std::size_t>(WindowKind::IdleSymbol)] = stepsOf(timing.idleFrames);
  steps[static_cast<std::size_t>(WindowKind::DotSymbol)] = stepsOf(timing.dotFrames);
  steps[static_cast<std::size_t>(WindowKind::DashSymbol)] = stepsOf(timing.dashFrames);
  steps[static_cast<std::size_t>(WindowKind::IdleGap)] = static_cast<std::int64_t>(
      std::nearbyint(static_cast<double>(timing.gapFrames) / static_cast<double>(stepFrames)));
  return steps;
}

Readings makeReadings(const CharacterTiming& timing, std::int64_t stepFrames) {
  Readings result;
  const auto stepLength = static_cast<double>(stepFrames);
  const auto stepOf = [&](std::int64_t frames) {
    return static_cast<std::int64_t>(std::nearbyint(static_cast<double>(frames) / stepLength));
  };
  const std::array<std::int64_t, kWindowKinds> steps = windowSteps(timing, stepFrames);
  const auto stepsOf = [&](WindowKind kind) { return steps[static_cast<std::size_t>(kind)]; };
  const bool gaps = !timing.silentPauses && stepsOf(WindowKind::IdleGap) > 0;
  // The windows of a stretch of key down or of a pause, from `start` frames for `frames`.
  const auto stretch = [&](std::vector<Window>& out, WindowKind kind, WindowKind dotKind,
                           std::int64_t start, std::int64_t frames) {
    if (!timing.dotWindows) {
      out.push_back({kind, stepOf(start)});
      return;
    }
    for (std::int64_t at = 0; at < frames; at += timing.dotFrames) {
      out.push_back({dotKind, stepOf(start + at)});
    }
  };
  Layout& layout = result.layout;
  // Each node's end, where its next element would begin, in frames.
  std::array<std::int64_t, kPatternNodes> end{};
  for (std::size_t node = 1; node < kPatternNodes; ++node) {
    const bool dash = node % 2 == 0;
    const std::int64_t start = end[(node - 1) / 2];
    const std::int64_t length = dash ? timing.dashFrames : timing.dotFrames;
    std::vector<Window>& adds = layout.element[node];
    stretch(adds, dash ? WindowKind::DashSymbol : WindowKind::DotSymbol, WindowKind::DotSymbol,
            start, length);
    if (dash && timing.dotWindows) {
      layout.wholeDash[node] = Window{WindowKind::DashSymbol, stepOf(start)};
      layout.dashDots = adds.size();
      std::vector<std::int64_t> shape;
      for (const Window& w : adds) {
        shape.push_back(w.offset - stepOf(start));
      }
      const auto known = std::find(layout.dashShapes.begin(), layout.dashShapes.end(), shape);
      layout.dashShape[node] = static_cast<std::size_t>(known - layout.dashShapes.begin());
      if (known == layout.dashShapes.end()) {
        layout.dashShapes.push_back(std::move(shape));
      }
    }
    if (gaps) {
      stretch(adds, WindowKind::IdleGap, WindowKind::IdleGap, start + length, timing.gapFrames);
    }
    end[node] = start + length + timing.gapFrames;
  }
  for (std::size_t node = 0; node < kPatternNodes; ++node) {
    if (!timing.silentPauses) {
      stretch(layout.end[node], WindowKind::IdleSymbol, WindowKind::IdleGap, end[node],
              timing.idleFrames);
    }
  }
  const auto add = [&](char32_t character, std::string_view pattern) {
    std::vector<Window> windows;
    std::size_t node = 0;
    for (const char element : pattern) {
      node = 2 * node + (element == '1' ? 2 : 1);
      windows.insert(windows.end(), layout.element[node].begin(), layout.element[node].end());
    }
    const std::int64_t pause = pattern.empty() ? timing.spaceFrames : timing.idleFrames;
    if (!timing.silentPauses) {
      stretch(windows, WindowKind::IdleSymbol, WindowKind::IdleGap, end[node], pause);
    }
    std::int64_t reach = 0;
    for (const Window& w : windows) {
      reach = std::max(reach, w.offset + stepsOf(w.kind));
    }
    const double frames = static_cast<double>(end[node] + pause);
    const auto low = static_cast<std::int64_t>(std::floor(frames / stepLength));
    const double prior = pattern.empty() && timing.silentPauses ? -timing.silentSpaceCost : 0.0;
    for (const std::int64_t length : {low, low + 1}) {
      if (length > 0) {
        // Where the pauses are silence a character is all there by its last element: the
        // recording may end in its pause.
        result.all.push_back({character, pattern, length,
                              timing.silentPauses ? reach : std::max(reach, length), windows, node,
                              prior});
      }
    }
  };
  const PatternTable table = CWchars();
  for (std::size_t code = 0; code < table.size(); ++code) {
    const std::string_view pattern = table[code];
    bool seen = false;
    for (const Reading& r : result.all) {
      seen = seen || r.pattern == pattern;
    }
    if (!pattern.empty() && !seen && pattern.size() <= kMostElements) {
      add(static_cast<char32_t>(code), pattern);
    }
  }
  add(U' ', "");
  return result;
}

Search::Search(const WindowSums& sums, const Readings& readings)
    : sums_(sums), readings_(readings) {
  for (std::size_t kind = 0; kind < kWindowKinds; ++kind) {
    scores_[kind].assign(sums.magnitudes[kind].size(), kNoScore);
  }
  dashes_.assign(
      readings.layout.dashShapes.size(),
      std::vector<double>(sums.magnitudes[static_cast<std::size_t>(WindowKind::DashSymbol)].size(),
                          kNoScore));
}

double Search::bothWays(std::size_t shape, std::int64_t at) const {
  double dots = 0.0;
  for (const std::int64_t offset : readings_.layout.dashShapes[shape]) {
    dots += window(WindowKind::DotSymbol, at + offset);
  }
  return logAddExp(dots, window(WindowKind::DashSymbol, at)) - std::numbers::ln2;
}

void Search::setLevel(double u, std::int64_t first, std::int64_t last) {
  setLevels(std::vector<double>(1, u), first, last, false);
}

void Search::setLevels(const std::vector<double>& perStep, std::int64_t first, std::int64_t last,
                       bool uncertain) {
  // An uncertain level is any of these multiples of the one given, alike likely. Where the
  // pauses are silence, an element read at too high a level reads as a pause, with no other tone
  // to weigh it against: the level may lie further below.
  constexpr std::array<double, 4> kFactors{0.5, 0.71, 1.0, 1.41};
  constexpr std::array<double, 6> kSilentPauseFactors{0.25, 0.35, 0.5, 0.71, 1.0, 1.41};
  const bool silentPauses = sums_.silent[static_cast<std::size_t>(WindowKind::IdleGap)];
  const std::span<const double> factors = silentPauses
                                              ? std::span<const double>(kSilentPauseFactors)
                                              : std::span<const double>(kFactors);
  const double logCount = std::log(static_cast<double>(factors.size()));
  for (std::size_t kind = 0; kind < kWindowKinds; ++kind) {
    const auto frames = static_cast<double>(sums_.frames[kind]);
    const std::vector<double>& m = sums_.magnitudes[kind];
    std::vector<double>& out = scores_[kind];
    const auto middle = sums_.steps[kind] / 2;
    const auto end = std::min<std::int64_t>(last, static_cast<std::int64_t>(m.size()));
    for (std::int64_t k = std::max<std::int64_t>(0, first); k < end; ++k) {
      const auto at = static_cast<std::size_t>(std::clamp<std::int64_t>(
          k + middle - first, 0, static_cast<std::int64_t>(perStep.size()) - 1));
      const double u = perStep[at];
      const auto i = static_cast<std::size_t>(k);
      if (!uncertain) {
        out[i] = logBesselI0(2.0 * u * m[i]) - u * u * frames;
        continue;
      }
      double sum = kNoScore;
      for (const double f : factors) {
        sum = logAddExp(sum, logBesselI0(2.0 * f * u * m[i]) - f * f * u * u * frames);
      }
      out[i] = sum - logCount;
    }
  }
  // A dash from `k` reads windows up to its last dot's; those set here change it.
  for (std::size_t shape = 0; shape < dashes_.size(); ++shape) {
    std::vector<double>& out = dashes_[shape];
    const std::int64_t back = readings_.layout.dashShapes[shape].back();
    const auto end = std::min<std::int64_t>(last, static_cast<std::int64_t>(out.size()));
    for (std::int64_t k = std::max<std::int64_t>(0, first - back); k < end; ++k) {
      out[static_cast<std::size_t>(k)] = bothWays(shape, k);
    }
  }
}

double Search::window(WindowKind kind, std::int64_t at) const {
  if (sums_.silent[static_cast<std::size_t>(kind)]) {
    return 0.0;
  }
  const std::vector<double>& s = scores_[static_cast<std::size_t>(kind)];
  const auto index = static_cast<std::size_t>(at);
  return at >= 0 && index < s.size() ? s[index] : kNoScore;
}

double Search::sum(const std::vector<Window>& windows, std::int64_t at) const {
  double total = 0.0;
  for (const Window& w : windows) {
    total += window(w.kind, at + w.offset);
  }
  return total;
}

double Search::element(std::size_t node, std::int64_t at) const {
  const Layout& layout = readings_.layout;
  const std::vector<Window>& windows = layout.element[node];
  if (!layout.wholeDash[node]) {
    return sum(windows, at);
  }
  double rest = 0.0;
  for (std::size_t k = layout.dashDots; k < windows.size(); ++k) {
    rest += window(windows[k].kind, at + windows[k].offset);
  }
  const std::size_t shape = layout.dashShape[node];
  const std::int64_t from = at + layout.wholeDash[node]->offset;
  const std::vector<double>& kept = dashes_[shape];
  return rest + (from >= 0 && from < static_cast<std::int64_t>(kept.size())
                     ? kept[static_cast<std::size_t>(from)]
                     : bothWays(shape, from));
}

void Search::scoresAt(std::int64_t at, std::vector<double>& out) const {
  const Layout& layout = readings_.layout;
  std::array<double, kPatternNodes> prefix{};
  for (std::size_t node = 1; node < kPatternNodes; ++node) {
    prefix[node] = prefix[(node - 1) / 2] + element(node, at);
  }
  out.resize(readings_.all.size());
  for (std::size_t r = 0; r < readings_.all.size(); ++r) {
    const Reading& reading = readings_.all[r];
    out[r] = reading.pattern.empty()
                 ? score(reading, at)
                 : prefix[reading.node] + sum(layout.end[reading.node], at) + reading.prior;
  }
}

double Search::score(const Reading& reading, std::int64_t at) const {
  if (reading.pattern.empty()) {
    return reading.prior + sum(reading.windows, at);
  }
  double total = reading.prior + sum(readings_.layout.end[reading.node], at);
  for (std::size_t node = reading.node; node > 0; node = (node - 1) / 2) {
    total += element(node, at);
  }
  return total;
}

double Search::best(std::int64_t first, std::int64_t last, double startCost,
                    std::vector<PathRun>& runs, double characterCost) const {
  // At each boundary: the best score with a transmission going on (a character just ended) and
  // with noise; how each was reached.
  runs.clear();
  if (last <= first) {
    return 0.0;
  }
  const auto n = static_cast<std::size_t>(last - first + 1);
  std::vector<double> inRun(n, kNoScore);
  std::vector<double> inNoise(n, kNoScore);
  std::vector<std::int64_t> from(n, -1);
  std::vector<std::int32_t> via(n, -1);
  std::vector<std::uint8_t> began(n, 0);     // the character began a run
  std::vector<std::uint8_t> runEnded(n, 0);  // noise here follows the end of a run
  inNoise[0] = 0.0;
  std::vector<double> scores;
  for (std::size_t t = 0; t < n; ++t) {
    if (inRun[t] > inNoise[t]) {
      inNoise[t] = inRun[t];
      runEnded[t] = 1;
    }
    if (t + 1 == n) {
      break;
    }
    if (inNoise[t] > inNoise[t + 1]) {
      inNoise[t + 1] = inNoise[t];
    }
    const std::int64_t at = first + static_cast<std::int64_t>(t);
    const bool fromNoise = inNoise[t] - startCost > inRun[t];
    const double base = fromNoise ? inNoise[t] - startCost : inRun[t];
    scoresAt(at, scores);
    for (std::size_t r = 0; r < readings_.all.size(); ++r) {
      const Reading& reading = readings_.all[r];
      if (at + reading.reach > last) {
        continue;
      }
      // A word space is no character: in ordinary Morse timing it is read a dot at a time.
      const double s = base + scores[r] - (reading.pattern.empty() ? 0.0 : characterCost);
      const auto to = std::min(t + static_cast<std::size_t>(reading.steps), n - 1);
      if (s > inRun[to]) {
        inRun[to] = s;
        from[to] = static_cast<std::int64_t>(t);
        via[to] = static_cast<std::int32_t>(r);
        began[to] = fromNoise ? 1 : 0;
      }
    }
  }
  // Back from the end, in noise.
  std::size_t t = n - 1;
  bool noise = true;
  while (true) {
    if (noise) {
      if (runEnded[t] != 0) {
        noise = false;
        runs.emplace_back();
        runs.back().score = inRun[t];
        continue;
      }
      if (t == 0) {
        break;
      }
      --t;
      continue;
    }
    const auto start = static_cast<std::size_t>(from[t]);
    runs.back().readings.emplace_back(first + static_cast<std::int64_t>(start), via[t]);
    if (began[t] != 0) {
      runs.back().score += startCost - inNoise[start];
      noise = true;
    }
    t = start;
  }
  std::reverse(runs.begin(), runs.end());
  for (PathRun& run : runs) {
    std::reverse(run.readings.begin(), run.readings.end());
  }
  return inNoise[n - 1];
}

std::vector<double> Search::backward(std::int64_t first, std::int64_t last) const {
  const auto n = static_cast<std::size_t>(last - first + 1);
  std::vector<double> beta(n, 0.0);
  std::vector<double> scores;
  for (std::int64_t t = last; t >= first; --t) {
    double total = 0.0;  // ending here
    scoresAt(t, scores);
    for (std::size_t r = 0; r < readings_.all.size(); ++r) {
      const Reading& reading = readings_.all[r];
      if (t + reading.reach <= last) {
        const std::int64_t to = std::min(t + reading.steps, last);
        total = logAddExp(total, scores[r] + beta[static_cast<std::size_t>(to - first)]);
      }
    }
    beta[static_cast<std::size_t>(t - first)] = total;
  }
  return beta;
}

}  // namespace bitoner::decode
