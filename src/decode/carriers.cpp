// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/carriers.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "decode/fft.h"
#include "decode/noise_floor.h"

namespace bitoner::decode {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// The level is judged in stretches of this many symbols, and the recording needs a few of them.
constexpr std::int64_t kStretchSymbols = 6;
constexpr std::int64_t kFewestStretches = 4;
// Lines weaker than this, in energy per symbol over the noise's, do little harm beside a signal
// strong enough to read, and could not be told from a keyed tone symbol by symbol.
constexpr double kWeakestSymbolSnr = 3.0;
// And a line must stand this far above the noise over the whole recording to be taken for one.
constexpr double kLeastLineSnr = 40.0;
// A carrier holds its level symbol by symbol, but for the noise and a slow wander of about this
// fraction; a keyed tone is missing from many symbols and in the others far stronger than its
// line (or its sidebands') over the whole recording.
constexpr double kCarrierWander = 0.25;
constexpr std::size_t kMostCarriers = 8;
// A line holding less than this share of the power at its frequency, window by window, is keyed:
// a carrier holds all of it, DFCW's dash tone through an all-dash message about 0.7.
constexpr std::int64_t kShortWindowsPerSymbol = 4;
constexpr double kKeyedShare = 0.8;
// More quiet symbols than chance gives, by this many, make a line a keyed tone.
constexpr double kFewestQuietSymbols = 3.0;
// The search spectrum is windowed (Hann), whose main lobe spans two bins of the unpadded length
// either side; this many are cleared around a line, so that a strong carrier's skirts raise no
// second one. A bin of a recording long enough to search is already far narrower than any
// carrier's wander, so the spectrum is padded only up to the transform's power of two.
constexpr double kLobeBins = 3.0;

}  // namespace

std::vector<Carrier> removeSteadyCarriers(std::span<const std::complex<float>> recorded,
                                          std::vector<std::complex<float>>& cleaned,
                                          double blockRateHz, std::int64_t symbolBlocks,
                                          double noiseBlockPower) {
  cleaned.clear();
  std::span<const std::complex<float>> sums = recorded;
  std::vector<Carrier> found;
  const auto n = static_cast<std::int64_t>(sums.size());
  const std::int64_t stretch = std::max<std::int64_t>(1, kStretchSymbols * symbolBlocks);
  const std::int64_t stretches = n / stretch;
  if (stretches < kFewestStretches || noiseBlockPower <= 0.0) {
    return found;
  }
  Transform transform(nextPowerOfTwo(n), Transform::Buffers::InPlace);
  const std::int64_t size = transform.size();
  const auto lobe = static_cast<std::int64_t>(
      std::ceil(kLobeBins * static_cast<double>(size) / static_cast<double>(n)));
  double windowPower = 0.0;
  for (std::int64_t m = 0; m < size; ++m) {
    double w = 0.0;
    if (m < n) {
      w = 0.5 - 0.5 * std::cos(kTwoPi * (static_cast<double>(m) + 0.5) / static_cast<double>(n));
      windowPower += w * w;
    }
    transform.set(m, m < n ? std::complex<double>(sums[static_cast<std::size_t>(m)]) * w : 0.0);
  }
  transform.execute();
  std::vector<float> power(static_cast<std::size_t>(size));
  for (std::int64_t k = 0; k < size; ++k) {
    power[static_cast<std::size_t>(k)] = static_cast<float>(transform.power(k));
  }
  const double noiseBin = noiseBlockPower * windowPower;
  const double symbols = static_cast<double>(n) / static_cast<double>(symbolBlocks);
  // A line of one symbol's SNR rho stands about 2/3 rho times the number of symbols above a bin
  // of noise.
  const double threshold = noiseBin * std::max(kLeastLineSnr, 0.5 * kWeakestSymbolSnr * symbols);

  std::vector<std::complex<double>> level(static_cast<std::size_t>(stretches));
  for (std::size_t tries = 0; tries < 4 * kMostCarriers && found.size() < kMostCarriers; ++tries) {
    const auto peakAt = std::max_element(power.begin(), power.end());
    const std::int64_t peak = peakAt - power.begin();
    if (static_cast<double>(*peakAt) < threshold) {
      break;
    }
    // The line's frequency between bins, from the parabola through the peak's logarithms.
    const double a =
        std::log(std::max(1e-30F, power[static_cast<std::size_t>((peak + size - 1) % size)]));
    const double b = std::log(std::max(1e-30F, *peakAt));
    const double c = std::log(std::max(1e-30F, power[static_cast<std::size_t>((peak + 1) % size)]));
    const double curve = a - 2.0 * b + c;
    const double fraction = curve < 0.0 ? std::clamp(0.5 * (a - c) / curve, -0.5, 0.5) : 0.0;
    double bin = static_cast<double>(peak) + fraction;
    if (bin > static_cast<double>(size) / 2.0) {
      bin -= static_cast<double>(size);
    }
    const double cyclesPerBlock = bin / static_cast<double>(size);
    for (std::int64_t k = peak - lobe; k <= peak + lobe; ++k) {
      power[static_cast<std::size_t>((k + size) % size)] = 0.0F;
    }

    // The line's mean over `length` blocks from `from`, turned back by its frequency.
    const auto lineMean = [&](std::int64_t from, std::int64_t length) {
      std::complex<double> sum = 0.0;
      for (std::int64_t m = from; m < from + length; ++m) {
        sum += std::complex<double>(sums[static_cast<std::size_t>(m)]) *
               std::polar(1.0, -kTwoPi * std::fmod(cyclesPerBlock * static_cast<double>(m), 1.0));
      }
      return sum / static_cast<double>(length);
    };
    // Its level in each stretch.
    for (std::int64_t s = 0; s < stretches; ++s) {
      level[static_cast<std::size_t>(s)] = lineMean(s * stretch, stretch);
    }
    std::vector<float> magnitudes;
    for (const std::complex<double>& l : level) {
      magnitudes.push_back(static_cast<float>(std::abs(l)));
    }
    const double middle = median(magnitudes);
    if (middle * middle * static_cast<double>(symbolBlocks) < kWeakestSymbolSnr * noiseBlockPower) {
      continue;
    }
    // Symbol by symbol, how far its level strays, and how often it drops below half: a keyed
    // tone's line (the signal's own idle tone through minutes of key-up) goes quiet while the
    // other tones are keyed, which a carrier strong enough to hurt hardly ever seems to do.
    const double noise = noiseBlockPower / static_cast<double>(symbolBlocks);
    double stray = 0.0;
    std::int64_t quiet = 0;
    const std::int64_t symbolCount = n / symbolBlocks;
    for (std::int64_t s = 0; s < symbolCount; ++s) {
      const double l = std::abs(lineMean(s * symbolBlocks, symbolBlocks));
      stray += (l - middle) * (l - middle);
      quiet += l < middle / 2.0 ? 1 : 0;
    }
    // How much of the power at the line, window by window, the line itself holds: all of it for
    // a carrier, only the share of the time it sounds for a keyed tone. Windows a quarter symbol
    // long see a DFCW dash tone's 1 s gaps, where it is keyed for minutes with hardly a pause and
    // no symbol-long window goes quiet. Both are taken over the whole recording, their noise
    // taken off, so that noise does not blur them as it does single windows near threshold.
    const std::int64_t shortBlocks =
        std::max<std::int64_t>(1, symbolBlocks / kShortWindowsPerSymbol);
    double shortPower = 0.0;
    const std::int64_t shortCount = n / shortBlocks;
    for (std::int64_t s = 0; s < shortCount; ++s) {
      shortPower += std::norm(lineMean(s * shortBlocks, shortBlocks));
    }
    shortPower = shortPower / static_cast<double>(shortCount) -
                 noiseBlockPower / static_cast<double>(shortBlocks);
    double linePower = 0.0;
    for (const std::complex<double>& l : level) {
      linePower += std::norm(l);
    }
    linePower =
        linePower / static_cast<double>(stretches) - noiseBlockPower / static_cast<double>(stretch);
    if (linePower < kKeyedShare * shortPower) {
      continue;
    }
    // Noise takes a steady line of symbol SNR rho below half its level in about exp(-rho / 4)
    // of the symbols.
    const double byChance =
        static_cast<double>(symbolCount) * std::exp(-middle * middle / noise / 4.0);
    if (stray / static_cast<double>(symbolCount) >
            noise + (kCarrierWander * middle) * (kCarrierWander * middle) ||
        static_cast<double>(quiet) > byChance + 3.0 * std::sqrt(byChance) + kFewestQuietSymbols) {
      continue;
    }
    // Subtracted with its level drawn straight between the stretches' middles, so a carrier
    // whose phase wanders slowly is followed; the ends keep the first and last stretch's. The
    // next line's level is measured without this one.
    if (cleaned.empty()) {
      cleaned.assign(recorded.begin(), recorded.end());
      sums = cleaned;
    }
    for (std::int64_t m = 0; m < n; ++m) {
      const double place =
          std::clamp((static_cast<double>(m) + 0.5) / static_cast<double>(stretch) - 0.5, 0.0,
                     static_cast<double>(stretches - 1));
      const auto s = std::min<std::int64_t>(static_cast<std::int64_t>(place), stretches - 2);
      const double w = place - static_cast<double>(s);
      const std::complex<double> l = (1.0 - w) * level[static_cast<std::size_t>(s)] +
                                     w * level[static_cast<std::size_t>(s + 1)];
      cleaned[static_cast<std::size_t>(m)] -= std::complex<float>(
          l * std::polar(1.0, kTwoPi * std::fmod(cyclesPerBlock * static_cast<double>(m), 1.0)));
    }
    found.push_back({cyclesPerBlock * blockRateHz,
                     middle * middle * static_cast<double>(symbolBlocks) / noiseBlockPower});
  }
  return found;
}

}  // namespace bitoner::decode
