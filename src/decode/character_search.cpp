// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/character_search.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "engine/patterns.h"

namespace bitoner::decode {

namespace {

// The tree place of a pattern: the patterns of k elements follow those of fewer.
std::size_t nodeOf(std::string_view pattern) {
  std::size_t bits = 0;
  for (const char c : pattern) {
    bits = 2 * bits + (c == '1' ? 1 : 0);
  }
  return (std::size_t{1} << pattern.size()) - 1 + bits;
}

}  // namespace

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

Readings makeReadings(std::int64_t symbolFrames, std::int64_t gapFrames, std::int64_t stepFrames,
                      std::int64_t symbolSteps, std::int64_t gapSteps) {
  Readings result;
  const auto stepLength = static_cast<double>(stepFrames);
  const auto stepOf = [&](double frames) {
    return static_cast<std::int64_t>(std::nearbyint(frames / stepLength));
  };
  const auto element = static_cast<double>(symbolFrames + gapFrames);
  Layout& layout = result.layout;
  layout.gaps = gapSteps > 0;
  for (std::size_t i = 0; i <= kMostElements; ++i) {
    const double start = static_cast<double>(i) * element;
    layout.idle[i] = stepOf(start);
    if (i < kMostElements) {
      layout.element[i] = stepOf(start);
      layout.gap[i] = stepOf(start + static_cast<double>(symbolFrames));
    }
  }
  const auto add = [&](char32_t character, std::string_view pattern) {
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
        static_cast<double>(pattern.size()) * element + static_cast<double>(symbolFrames);
    const auto low = static_cast<std::int64_t>(std::floor(frames / stepLength));
    for (const std::int64_t length : {low, low + 1}) {
      if (length > 0) {
        result.all.push_back(
            {character, pattern, length, std::max(reach, length), windows, nodeOf(pattern)});
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
}

void Search::setLevel(double u, std::int64_t first, std::int64_t last) {
  setLevels(std::vector<double>(1, u), first, last, false);
}

void Search::setLevels(const std::vector<double>& perStep, std::int64_t first, std::int64_t last,
                       bool uncertain) {
  // An uncertain level is any of these multiples of the one given, alike likely.
  constexpr std::array<double, 4> kFactors{0.5, 0.71, 1.0, 1.41};
  const double logCount = std::log(static_cast<double>(kFactors.size()));
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
      for (const double f : kFactors) {
        sum = logAddExp(sum, logBesselI0(2.0 * f * u * m[i]) - f * f * u * u * frames);
      }
      out[i] = sum - logCount;
    }
  }
}

double Search::window(WindowKind kind, std::int64_t at) const {
  const std::vector<double>& s = scores_[static_cast<std::size_t>(kind)];
  const auto index = static_cast<std::size_t>(at);
  return at >= 0 && index < s.size() ? s[index] : kNoScore;
}

void Search::scoresAt(std::int64_t at, std::vector<double>& out) const {
  const Layout& layout = readings_.layout;
  std::array<double, (std::size_t{2} << kMostElements) - 1> prefix{};
  for (std::size_t level = 0; level < kMostElements; ++level) {
    const double gap = layout.gaps ? window(WindowKind::IdleGap, at + layout.gap[level]) : 0.0;
    const double dot = window(WindowKind::DotSymbol, at + layout.element[level]) + gap;
    const double dash = window(WindowKind::DashSymbol, at + layout.element[level]) + gap;
    const std::size_t first = (std::size_t{1} << level) - 1;
    const std::size_t next = (std::size_t{2} << level) - 1;
    for (std::size_t b = 0; b < (std::size_t{1} << level); ++b) {
      prefix[next + 2 * b] = prefix[first + b] + dot;
      prefix[next + 2 * b + 1] = prefix[first + b] + dash;
    }
  }
  std::array<double, kMostElements + 1> idle{};
  for (std::size_t k = 0; k <= kMostElements; ++k) {
    idle[k] = window(WindowKind::IdleSymbol, at + layout.idle[k]);
  }
  out.resize(readings_.all.size());
  for (std::size_t r = 0; r < readings_.all.size(); ++r) {
    out[r] = prefix[readings_.all[r].node] + idle[readings_.all[r].pattern.size()];
  }
}

double Search::score(const Reading& reading, std::int64_t at) const {
  double sum = 0.0;
  for (const Window& w : reading.windows) {
    sum += window(w.kind, at + w.offset);
  }
  return sum;
}

double Search::best(std::int64_t first, std::int64_t last, double startCost,
                    std::vector<PathRun>& runs) const {
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
      const double s = base + scores[r];
      const auto to = t + static_cast<std::size_t>(reading.steps);
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
        total =
            logAddExp(total, scores[r] + beta[static_cast<std::size_t>(t - first + reading.steps)]);
      }
    }
    beta[static_cast<std::size_t>(t - first)] = total;
  }
  return beta;
}

}  // namespace bitoner::decode
