// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/track_refinement.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "decode/frequency_track.h"

namespace bitoner::decode {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// The errors looked at: up to this share of what a symbol resolves either way (beyond it the
// track would have lost a good part of the symbol's energy and read it wrong), in steps of this
// share.
constexpr double kWidestError = 0.75;
constexpr double kErrorStep = 1.0 / 16.0;

// One window's energy at each error of the grid, its phase taken from its middle.
std::vector<double> energies(const std::vector<std::complex<double>>& sums, const HeardWindow& w,
                             double stepSeconds, double gridHz, std::int64_t reach) {
  std::vector<double> out(static_cast<std::size_t>(2 * reach + 1), 0.0);
  const double middle = static_cast<double>(w.first) + static_cast<double>(w.steps) / 2.0;
  for (std::int64_t k = -reach; k <= reach; ++k) {
    const double turnsPerStep = static_cast<double>(k) * gridHz * stepSeconds;
    std::complex<double> total = 0.0;
    for (std::int64_t m = w.first; m < w.first + w.steps; ++m) {
      const double turns = turnsPerStep * (static_cast<double>(m) + 0.5 - middle);
      total += sums[static_cast<std::size_t>(m)] * std::polar(1.0, -kTwoPi * turns);
    }
    out[static_cast<std::size_t>(k + reach)] = std::norm(total);
  }
  return out;
}

}  // namespace

std::vector<double> trackError(const std::vector<std::vector<std::complex<double>>>& stepSums,
                               const std::vector<HeardWindow>& windows, double stepSeconds,
                               std::int64_t symbolSteps, std::int64_t neighbourSteps) {
  const std::size_t steps = stepSums.empty() ? 0 : stepSums.front().size();
  std::vector<double> error(steps, 0.0);
  const double symbolSeconds = static_cast<double>(symbolSteps) * stepSeconds;
  const double gridHz = kErrorStep / symbolSeconds;
  const auto reach = static_cast<std::int64_t>(std::round(kWidestError / kErrorStep));

  struct Placed {
    double middle;
    std::vector<double> energy;
  };
  std::vector<Placed> placed;
  for (const HeardWindow& w : windows) {
    if (2 * w.steps < symbolSteps || w.first < 0 || w.tone >= stepSums.size() ||
        w.first + w.steps > static_cast<std::int64_t>(steps)) {
      continue;
    }
    placed.push_back({static_cast<double>(w.first) + static_cast<double>(w.steps) / 2.0,
                      energies(stepSums[w.tone], w, stepSeconds, gridHz, reach)});
  }
  if (placed.empty()) {
    return error;
  }
  std::sort(placed.begin(), placed.end(),
            [](const Placed& a, const Placed& b) { return a.middle < b.middle; });

  // Each window's error: the top of its neighbourhood's energies, between grid points by the
  // parabola through the top and its neighbours.
  std::vector<double> atMiddle(placed.size());
  std::vector<double> summed(static_cast<std::size_t>(2 * reach + 1));
  std::size_t low = 0;
  std::size_t high = 0;
  for (std::size_t i = 0; i < placed.size(); ++i) {
    while (placed[i].middle - placed[low].middle > static_cast<double>(neighbourSteps)) {
      ++low;
    }
    while (high < placed.size() &&
           placed[high].middle - placed[i].middle <= static_cast<double>(neighbourSteps)) {
      ++high;
    }
    std::fill(summed.begin(), summed.end(), 0.0);
    for (std::size_t j = low; j < high; ++j) {
      for (std::size_t k = 0; k < summed.size(); ++k) {
        summed[k] += placed[j].energy[k];
      }
    }
    const auto top =
        static_cast<std::size_t>(std::max_element(summed.begin(), summed.end()) - summed.begin());
    double fraction = 0.0;
    if (top > 0 && top + 1 < summed.size()) {
      const double curve = summed[top - 1] - 2.0 * summed[top] + summed[top + 1];
      fraction = curve < 0.0
                     ? std::clamp(0.5 * (summed[top - 1] - summed[top + 1]) / curve, -0.5, 0.5)
                     : 0.0;
    }
    atMiddle[i] = (static_cast<double>(top) - static_cast<double>(reach) + fraction) * gridHz;
  }

  // Step by step, drawn straight between the windows' middles.
  std::size_t next = 0;
  for (std::size_t m = 0; m < steps; ++m) {
    const double place = static_cast<double>(m) + 0.5;
    while (next < placed.size() && placed[next].middle <= place) {
      ++next;
    }
    if (next == 0) {
      error[m] = atMiddle.front();
    } else if (next == placed.size()) {
      error[m] = atMiddle.back();
    } else {
      const double a = placed[next - 1].middle;
      const double b = placed[next].middle;
      const double w = b > a ? (place - a) / (b - a) : 0.0;
      error[m] = (1.0 - w) * atMiddle[next - 1] + w * atMiddle[next];
    }
  }
  return error;
}

void turnBack(std::vector<std::complex<double>>& stepSums, const std::vector<double>& errorHz,
              double stepSeconds) {
  PhaseWalk phase;
  for (std::size_t m = 0; m < stepSums.size() && m < errorHz.size(); ++m) {
    stepSums[m] *= std::polar(1.0, -kTwoPi * phase.middle(errorHz[m], stepSeconds));
  }
}

}  // namespace bitoner::decode
