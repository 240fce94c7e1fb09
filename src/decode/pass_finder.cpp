// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/pass_finder.h"

#include <algorithm>
#include <cmath>

namespace bitoner::decode {

namespace {

// The signal-to-noise ratios per symbol tried for the level, in dB, before the step is halved
// twice around the best.
constexpr double kHighestSymbolSnrDb = 66.0;
constexpr double kSymbolSnrStepDb = 8.0;
// A transmission is searched again with this many symbols of the recording around it: more than
// the longest character, which may have been lost to a fade when all was read at one level.
constexpr std::int64_t kMarginSymbols = 10;
// And, up to twice as many symbols, this long: read at one level, a transmission may lose more
// than a character to a fade, tens of seconds of a slow one's trough.
constexpr double kMarginSeconds = 60.0;
constexpr std::int64_t kMostMarginSymbols = 2 * kMarginSymbols;
// Fading is followed over about this long either side (at least two symbols): slow fading of 5
// to 30 s periods, smoothed enough that noise does not make a level of its own.
constexpr double kFadeSeconds = 4.0;
constexpr std::int64_t kFewestFadeSymbols = 2;
// The level followed stays within this factor (in power) of the transmission's own.
constexpr double kFadeRange = 20.0;
// Read through fading, a character costs this much (natural log) besides: read at a low level,
// noise beside a transmission otherwise passes for a character at either end.
constexpr double kFadingCharacterCost = 3.0;
// A level followed that moves over this many dB in a transmission is fading, and read as such
// even where one level explains the reading about as well: noise moves a steady signal's by a few
// dB at most.
constexpr double kFadingDepthDb = 6.0;

std::int64_t endOf(const PathRun& run, const Readings& readings) {
  const auto& [start, r] = run.readings.back();
  const Reading& last = readings.all[static_cast<std::size_t>(r)];
  return start + std::max(last.reach, last.steps);
}

// Where pauses are silence, a run may cross noise as word spaces: as much of them in a row as a
// transmission's pause parts it there, and they are dropped.
void splitAtSilence(std::vector<PathRun>& runs, const Readings& readings, std::int64_t atLeast) {
  const auto silentSpace = [&](std::int32_t r) {
    const Reading& reading = readings.all[static_cast<std::size_t>(r)];
    return reading.character == U' ' && reading.windows.empty();
  };
  std::vector<PathRun> parted;
  for (PathRun& run : runs) {
    PathRun part;
    part.score = run.score;
    for (std::size_t k = 0; k < run.readings.size();) {
      std::size_t end = k;
      while (end < run.readings.size() && silentSpace(run.readings[end].second)) {
        ++end;
      }
      if (end == k) {
        part.readings.push_back(run.readings[k++]);
        continue;
      }
      const std::int64_t from = run.readings[k].first;
      const std::int64_t to =
          end < run.readings.size()
              ? run.readings[end].first
              : from + readings.all[static_cast<std::size_t>(run.readings[end - 1].second)].steps;
      if (to - from >= atLeast) {
        if (!part.readings.empty()) {
          parted.push_back(std::move(part));
        }
        part = PathRun{};
      } else {
        part.readings.insert(part.readings.end(),
                             run.readings.begin() + static_cast<std::ptrdiff_t>(k),
                             run.readings.begin() + static_cast<std::ptrdiff_t>(end));
      }
      k = end;
    }
    if (!part.readings.empty()) {
      parted.push_back(std::move(part));
    }
  }
  runs = std::move(parted);
}

// Runs with less noise between them than a transmission's pause are one transmission: a
// character lost to a fade or a slip of the timing does not end it. Where the idle tone is silent
// (DFCW) a word space reads as noise between two runs, so a pause at least half a word space long
// between joined runs is read as one.
void joinClose(std::vector<PathRun>& runs, const Readings& readings, std::int64_t closerThan) {
  std::int32_t space = -1;
  for (std::size_t r = 0; r < readings.all.size(); ++r) {
    if (readings.all[r].character == U' ') {
      space = static_cast<std::int32_t>(r);
    }
  }
  splitAtSilence(runs, readings, closerThan);
  std::vector<PathRun> joined;
  for (PathRun& run : runs) {
    if (run.readings.empty()) {
      continue;
    }
    if (!joined.empty() &&
        run.readings.front().first - endOf(joined.back(), readings) < closerThan) {
      const auto& [lastStart, last] = joined.back().readings.back();
      const std::int64_t boundary = lastStart + readings.all[static_cast<std::size_t>(last)].steps;
      if (space >= 0 && readings.all[static_cast<std::size_t>(last)].character != U' ' &&
          2 * (run.readings.front().first - boundary) >=
              readings.all[static_cast<std::size_t>(space)].steps) {
        joined.back().readings.emplace_back(boundary, space);
      }
      joined.back().readings.insert(joined.back().readings.end(), run.readings.begin(),
                                    run.readings.end());
      joined.back().score += run.score;
    } else {
      joined.push_back(std::move(run));
    }
  }
  runs = std::move(joined);
}

// Steps of no level (0) take the level on either side, drawn straight between them.
void holdAcrossGaps(std::vector<double>& level) {
  std::size_t before = level.size();  // the last step with a level
  for (std::size_t k = 0; k <= level.size(); ++k) {
    if (k < level.size() && level[k] <= 0.0) {
      continue;
    }
    const std::size_t from = before == level.size() ? 0 : before + 1;
    for (std::size_t m = from; m < k; ++m) {
      const double left = before == level.size() ? 0.0 : level[before];
      const double right = k < level.size() ? level[k] : 0.0;
      const double w = before == level.size() || k == level.size()
                           ? 0.0
                           : static_cast<double>(m - before) / static_cast<double>(k - before);
      level[m] = before == level.size() ? right
                 : k == level.size()    ? left
                                        : (1.0 - w) * left + w * right;
    }
    before = k;
  }
}

struct Try {
  double score = kNoScore;
  double level = 0.0;
  std::vector<PathRun> runs;
};

class Finder {
 public:
  Finder(Search& search, const WindowSums& sums, const PassFinderSettings& settings)
      : search_(search), sums_(sums), settings_(settings) {}

  double levelFor(double symbolSnrDb) const {
    return std::sqrt(std::pow(10.0, symbolSnrDb / 10.0) /
                     static_cast<double>(settings_.symbolSteps * settings_.stepFrames));
  }

  // The level whose reading of [first, last] is likeliest, from a coarse grid refined twice.
  Try bestLevel(std::int64_t first, std::int64_t last) const {
    Try best;
    const auto tryLevel = [&](double db) {
      Try attempt;
      attempt.level = levelFor(db);
      search_.setLevel(attempt.level, first, last);
      attempt.score = search_.best(first, last, settings_.startCost, attempt.runs);
      joinClose(attempt.runs, search_.readings(), settings_.joinSteps);
      if (attempt.score > best.score) {
        best = std::move(attempt);
        bestDb_ = db;
      }
    };
    const double lowest = 10.0 * std::log10(settings_.fewestSymbolSnr);
    for (double db = lowest; db <= kHighestSymbolSnrDb; db += kSymbolSnrStepDb) {
      tryLevel(db);
    }
    for (double step = kSymbolSnrStepDb / 2.0; step >= kSymbolSnrStepDb / 4.0; step /= 2.0) {
      const double around = bestDb_;
      if (around - step >= lowest) {
        tryLevel(around - step);
      }
      tryLevel(around + step);
    }
    search_.setLevel(best.level, first, last);
    return best;
  }

  // The level that a run's own windows hold, in amplitude over noise RMS per sample: over the
  // whole run, or per step where fading is followed. 0 where there is nothing to go by.
  std::vector<double> levelsOf(const PathRun& run, std::int64_t first, std::int64_t last,
                               std::int64_t halfWidth) const {
    const auto n = static_cast<std::size_t>(last - first + 1);
    std::vector<double> excess(n + 1, 0.0);  // energy beyond the noise's, at windows' middles
    std::vector<double> weight(n + 1, 0.0);
    for (const auto& [start, r] : run.readings) {
      for (const Window& w : search_.readings().all[static_cast<std::size_t>(r)].windows) {
        const auto kind = static_cast<std::size_t>(w.kind);
        const double y = sums_.magnitudes[kind][static_cast<std::size_t>(start + w.offset)];
        const auto frames = static_cast<double>(sums_.frames[kind]);
        const auto at = static_cast<std::size_t>(std::clamp<std::int64_t>(
            start + w.offset + sums_.steps[kind] / 2 - first, 0, static_cast<std::int64_t>(n) - 1));
        excess[at + 1] += y * y - frames;
        weight[at + 1] += frames * frames;
      }
    }
    for (std::size_t k = 1; k <= n; ++k) {
      excess[k] += excess[k - 1];
      weight[k] += weight[k - 1];
    }
    std::vector<double> level(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      const auto low = static_cast<std::size_t>(
          std::max<std::int64_t>(0, static_cast<std::int64_t>(k) - halfWidth));
      const std::size_t high = std::min(n, k + static_cast<std::size_t>(halfWidth) + 1);
      const double w = weight[high] - weight[low];
      level[k] = w > 0.0 ? std::sqrt(std::max(0.0, (excess[high] - excess[low]) / w)) : 0.0;
    }
    return level;
  }

  // The level, step by step, that the strongest tone's symbol windows hold beyond the noise,
  // smoothed over `halfWidth` either side: a level that needs no reading, for where nothing could
  // be read. The strongest of n noise powers averages 1 + 1/2 + ... + 1/n of one, taken off.
  std::vector<double> strongestLevels(std::int64_t first, std::int64_t last,
                                      std::int64_t halfWidth) const {
    const auto n = static_cast<std::size_t>(last - first + 1);
    const std::int64_t length = settings_.symbolSteps;
    const auto frames = static_cast<double>(settings_.symbolSteps * settings_.stepFrames);
    std::vector<double> sum(n + 1, 0.0);
    std::vector<double> count(n + 1, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      const std::int64_t start = first + static_cast<std::int64_t>(k) - length / 2;
      double most = 0.0;
      bool inside = start >= 0;
      for (const WindowKind kind : settings_.toneKinds) {
        const std::vector<double>& m = sums_.magnitudes[static_cast<std::size_t>(kind)];
        inside = inside && start < static_cast<std::int64_t>(m.size());
        if (inside) {
          most = std::max(most,
                          m[static_cast<std::size_t>(start)] * m[static_cast<std::size_t>(start)]);
        }
      }
      sum[k + 1] = sum[k] + (inside ? most : 0.0);
      count[k + 1] = count[k] + (inside ? 1.0 : 0.0);
    }
    double strongestNoise = 0.0;
    for (std::size_t k = 1; k <= settings_.toneKinds.size(); ++k) {
      strongestNoise += 1.0 / static_cast<double>(k);
    }
    std::vector<double> level(n, 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      const auto low = static_cast<std::size_t>(
          std::max<std::int64_t>(0, static_cast<std::int64_t>(k) - halfWidth));
      const std::size_t high = std::min(n, k + static_cast<std::size_t>(halfWidth) + 1);
      const double c = count[high] - count[low];
      const double power = c > 0.0 ? (sum[high] - sum[low]) / c : 0.0;
      level[k] = std::sqrt(std::max(0.0, power - strongestNoise * frames) / (frames * frames));
    }
    return level;
  }

  // A run read again on its own, at its own level and then following its fading.
  void readAlone(std::int64_t first, std::int64_t last, std::vector<PassReading>& out) const {
    Try fixed = bestLevel(first, last);
    const std::int64_t whole = last - first + 1;
    double typical = fixed.level;
    // The level the reading's own windows hold, when the reading likes it better.
    if (!fixed.runs.empty()) {
      const double own = levelsOf(fixed.runs.front(), first, last, whole).front();
      if (own > 0.0) {
        search_.setLevel(own, first, last);
        std::vector<PathRun> runs;
        const double refined = search_.best(first, last, settings_.startCost, runs);
        joinClose(runs, search_.readings(), settings_.joinSteps);
        if (refined >= fixed.score) {
          typical = own;
          fixed.score = refined;
          fixed.runs = std::move(runs);
        } else {
          search_.setLevel(typical, first, last);
        }
      }
    }

    // Fading: the level drawn from the windows read, smoothed over a few seconds, and the
    // reading done again with it if that is likelier.
    const auto halfWidth = std::max<std::int64_t>(
        kFewestFadeSymbols * settings_.symbolSteps,
        static_cast<std::int64_t>(std::ceil(kFadeSeconds / settings_.stepSeconds)));
    std::vector<double> level(static_cast<std::size_t>(whole), typical);
    std::vector<PathRun> runs = fixed.runs;
    if (!runs.empty()) {
      std::vector<double> followed(static_cast<std::size_t>(whole), 0.0);
      for (const PathRun& run : runs) {
        const std::vector<double> l = levelsOf(run, first, last, halfWidth);
        for (std::size_t k = 0; k < l.size(); ++k) {
          followed[k] = std::max(followed[k], l[k]);
        }
      }
      // Before and after what was read, the level at its ends: a lower one would let noise
      // there pass for characters. Where nothing was read between (a deep fade), the level of
      // the strongest tone there; where the pauses are silence, a long pause is no fade, and the
      // level is held across it.
      const auto read = [](double v) { return v > 0.0; };
      const auto firstRead = std::find_if(followed.begin(), followed.end(), read);
      const auto lastRead = std::find_if(followed.rbegin(), followed.rend(), read);
      double depthDb = 0.0;  // how far the level followed moves within what was read
      if (firstRead != followed.end()) {
        const auto [least, most] = std::minmax_element(firstRead, lastRead.base());
        depthDb = 20.0 * std::log10(*most / std::max(*least, *most / std::sqrt(kFadeRange)));
        std::fill(followed.begin(), firstRead, *firstRead);
        std::fill(followed.rbegin(), lastRead, *lastRead);
      }
      if (settings_.silentPauses) {
        holdAcrossGaps(followed);
      } else {
        const std::vector<double> strongest = strongestLevels(first, last, halfWidth);
        for (std::size_t k = 0; k < followed.size(); ++k) {
          followed[k] = followed[k] > 0.0 ? followed[k] : strongest[k];
        }
      }
      {
        const double lowest = typical / std::sqrt(kFadeRange);
        const double highest = typical * std::sqrt(kFadeRange);
        for (double& v : followed) {
          v = std::clamp(v, lowest, highest);
        }
        // A reading told the level (to measure what knowing it gains) takes it as it is.
        const bool told = static_cast<bool>(settings_.knownLevel);
        for (std::size_t k = 0; told && k < followed.size(); ++k) {
          followed[k] = settings_.knownLevel(
              (static_cast<double>(first + static_cast<std::int64_t>(k)) + 0.5) *
              settings_.stepSeconds);
        }
        search_.setLevels(followed, first, last, !told);
        std::vector<PathRun> fading;
        double faded = search_.best(first, last, settings_.startCost, fading,
                                    told ? 0.0 : kFadingCharacterCost);
        for (const PathRun& run : fading) {
          for (const auto& [start, r] : run.readings) {
            // Word spaces bear no cost.
            faded += search_.readings().all[static_cast<std::size_t>(r)].pattern.empty()
                         ? 0.0
                         : kFadingCharacterCost;
          }
        }
        joinClose(fading, search_.readings(), settings_.joinSteps);
        if (told || faded > fixed.score ||
            (!settings_.silentPauses && depthDb >= kFadingDepthDb && !fading.empty())) {
          runs = std::move(fading);
          level = std::move(followed);
        } else {
          search_.setLevel(typical, first, last);
        }
      }
    }
    const double fewest =
        std::sqrt(settings_.fewestSymbolSnr /
                  static_cast<double>(settings_.symbolSteps * settings_.stepFrames));
    for (PathRun& run : runs) {
      if (typical < fewest) {
        continue;
      }
      PassReading pass;
      pass.run = std::move(run);
      pass.first = first;
      pass.last = last;
      pass.level = level;
      pass.typicalLevel = typical;
      out.push_back(std::move(pass));
    }
  }

 private:
  Search& search_;
  const WindowSums& sums_;
  const PassFinderSettings& settings_;
  mutable double bestDb_ = 0.0;
};

}  // namespace

std::vector<PassReading> findPasses(Search& search, const WindowSums& sums,
                                    const PassFinderSettings& settings) {
  std::vector<PassReading> passes;
  const Finder finder(search, sums, settings);
  Try whole = finder.bestLevel(0, sums.stepCount);
  // Read at one level for the whole recording, a fade may part a transmission more widely than
  // it parts when read on its own: the parts are read together.
  joinClose(whole.runs, search.readings(), 2 * settings.joinSteps);
  const std::int64_t margin =
      std::clamp(static_cast<std::int64_t>(std::ceil(kMarginSeconds / settings.stepSeconds)),
                 kMarginSymbols * settings.symbolSteps, kMostMarginSymbols * settings.symbolSteps);
  std::int64_t freeFrom = 0;
  for (std::size_t k = 0; k < whole.runs.size(); ++k) {
    const PathRun& run = whole.runs[k];
    if (run.readings.empty()) {
      continue;
    }
    const std::int64_t first = std::max(freeFrom, run.readings.front().first - margin);
    std::int64_t last = std::min(sums.stepCount, endOf(run, search.readings()) + margin);
    if (k + 1 < whole.runs.size() && !whole.runs[k + 1].readings.empty()) {
      // The noise between two transmissions is shared halfway, so the next may look back too.
      last = std::min(
          last, (endOf(run, search.readings()) + whole.runs[k + 1].readings.front().first) / 2);
    }
    if (last <= first) {
      continue;
    }
    finder.readAlone(first, last, passes);
    freeFrom = last;
  }
  return passes;
}

}  // namespace bitoner::decode
