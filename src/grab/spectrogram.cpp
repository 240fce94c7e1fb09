// SPDX-License-Identifier: GPL-3.0-or-later
#include "grab/spectrogram.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>

#include "decode/fft.h"

namespace bitoner::grab {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
// A picture's band is drawn with one row per resolution bin, but no fewer rows than this (finer
// rows are interpolated) and no more (each row then shows the power within its width).
constexpr int kFewestRows = 240;
constexpr int kMostRows = 720;
// A spectrum whose window holds less than this share of recording is left out.
constexpr double kLeastCoverage = 0.25;
constexpr float kNothing = std::numeric_limits<float>::quiet_NaN();

// The smallest length at or above `n` that FFTW transforms quickly: made of 2, 3, 5 and 7 only.
std::int64_t quickLength(std::int64_t n) {
  for (std::int64_t m = std::max<std::int64_t>(n, 1);; ++m) {
    std::int64_t rest = m;
    for (const std::int64_t f : {2, 3, 5, 7}) {
      while (rest % f == 0) {
        rest /= f;
      }
    }
    if (rest == 1) {
      return m;
    }
  }
}

std::string hz(double value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return std::string(text, ec == std::errc() ? end : text) + " Hz";
}

}  // namespace

void checkSpan(const SpanSettings& s) {
  const double nyquist = s.sampleRateHz / 2.0;
  if (!(s.lowHz < s.highHz)) {
    throw SpanError("the band's low edge (" + hz(s.lowHz) + ") must lie below its high edge (" +
                    hz(s.highHz) + ")");
  }
  if (s.lowHz < -nyquist || s.highHz > nyquist) {
    throw SpanError("the band " + hz(s.lowHz) + " to " + hz(s.highHz) +
                    " reaches beyond half the sample rate (" + hz(nyquist) + ")");
  }
  if (s.real && s.lowHz < 0.0) {
    throw SpanError("a one-channel recording has no negative frequencies; the band starts at " +
                    hz(s.lowHz));
  }
  if (!(s.resolutionHz > 0.0) || s.resolutionHz > s.highHz - s.lowHz) {
    throw SpanError("the resolution must be positive and finer than the band");
  }
  if (!(s.frameSeconds > 0.0) || s.columns < 1) {
    throw SpanError("a frame must have a length");
  }
}

int rowsFor(const SpanSettings& settings) {
  const double bins = (settings.highHz - settings.lowHz) / settings.resolutionHz;
  return std::clamp(static_cast<int>(std::lround(bins)), kFewestRows, kMostRows);
}

// The transform, its window, and where each row of the picture reads its power.
struct FrameSpectrum::Spectra {
  struct RowBins {
    std::int64_t first = 0;  // bin index, may be negative or past the length: taken modulo
    std::int64_t count = 1;  // the power in these, or
    double fraction = -1.0;  // when >= 0, between `first` and the next bin, this far along
  };

  Spectra(const SpanSettings& s, double narrowRateHz, int rows)
      : length(quickLength(static_cast<std::int64_t>(std::ceil(narrowRateHz / s.resolutionHz)))),
        transform(length),
        window(static_cast<std::size_t>(length)),
        power(static_cast<std::size_t>(length)),
        rowBins(static_cast<std::size_t>(rows)) {
    for (std::int64_t n = 0; n < length; ++n) {
      window[static_cast<std::size_t>(n)] =
          0.5 -
          0.5 * std::cos(kTwoPi * (static_cast<double>(n) + 0.5) / static_cast<double>(length));
    }
    double sum = 0.0;
    double squares = 0.0;
    for (const double w : window) {
      sum += w;
      squares += w * w;
    }
    noiseBandwidthBins = static_cast<double>(length) * squares / (sum * sum);
    const double binHz = narrowRateHz / static_cast<double>(length);
    const double rowHz = (s.highHz - s.lowHz) / rows;
    const double centre = (s.lowHz + s.highHz) / 2.0;
    for (int r = 0; r < rows; ++r) {
      const double f = s.highHz - (r + 0.5) * rowHz - centre;
      RowBins& bins = rowBins[static_cast<std::size_t>(r)];
      if (binHz <= rowHz) {
        bins.first = static_cast<std::int64_t>(std::ceil((f - rowHz / 2.0) / binHz));
        const auto end = static_cast<std::int64_t>(std::ceil((f + rowHz / 2.0) / binHz));
        bins.count = std::max<std::int64_t>(1, end - bins.first);
      } else {
        const double at = f / binHz;
        bins.first = static_cast<std::int64_t>(std::floor(at));
        bins.fraction = at - std::floor(at);
      }
    }
  }

  double bin(std::int64_t k) const {
    return power[static_cast<std::size_t>(((k % length) + length) % length)];
  }

  // The power each row reads from the last spectrum.
  double rowPower(int row) const {
    const RowBins& bins = rowBins[static_cast<std::size_t>(row)];
    if (bins.fraction >= 0.0) {
      return (1.0 - bins.fraction) * bin(bins.first) + bins.fraction * bin(bins.first + 1);
    }
    double sum = 0.0;
    for (std::int64_t k = bins.first; k < bins.first + bins.count; ++k) {
      sum += bin(k);
    }
    return sum / noiseBandwidthBins;
  }

  // The spectrum of the window starting at `start` in `x`, scaled so that a tone of amplitude A
  // reads A^2 at its bin; false when too little of the window lies on the recording.
  bool take(const std::vector<std::complex<float>>& x, std::int64_t start) {
    double covered = 0.0;
    double whole = 0.0;
    const auto size = static_cast<std::int64_t>(x.size());
    for (std::int64_t n = 0; n < length; ++n) {
      const double w = window[static_cast<std::size_t>(n)];
      whole += w;
      const std::int64_t i = start + n;
      if (i >= 0 && i < size) {
        covered += w;
        transform.set(n, w * std::complex<double>(x[static_cast<std::size_t>(i)]));
      } else {
        transform.set(n, 0.0);
      }
    }
    if (covered < kLeastCoverage * whole) {
      return false;
    }
    transform.execute();
    const double scale = 1.0 / (covered * covered);
    for (std::int64_t k = 0; k < length; ++k) {
      power[static_cast<std::size_t>(k)] = transform.power(k) * scale;
    }
    return true;
  }

  std::int64_t length;
  decode::Transform transform;
  std::vector<double> window;
  std::vector<double> power;
  std::vector<RowBins> rowBins;
  // A tone's power spreads over this many bins of the window's spectrum: a row that spans several
  // bins reads the power within it, a tone's whole and noise's share of the row's width.
  double noiseBandwidthBins = 1.0;
};

FrameSpectrum::FrameSpectrum(const SpanSettings& settings, std::int64_t firstFrame)
    : settings_((checkSpan(settings), settings)),
      first_(firstFrame),
      down_(settings.sampleRateHz, (settings.lowHz + settings.highHz) / 2.0,
            settings.highHz - settings.lowHz) {}

FrameSpectrum::~FrameSpectrum() = default;

void FrameSpectrum::feed(std::span<const std::complex<float>> samples) {
  down_.feed(samples, narrow_);
  fed_ += static_cast<std::int64_t>(samples.size());
}

PowerGrid FrameSpectrum::grid() {
  const int rows = rowsFor(settings_);
  if (!spectra_) {
    spectra_ = std::make_unique<Spectra>(settings_, down_.outputRateHz(), rows);
  }
  PowerGrid grid{
      rows, settings_.columns,
      std::vector<float>(
          static_cast<std::size_t>(rows) * static_cast<std::size_t>(settings_.columns), kNothing)};
  const double rate = settings_.sampleRateHz;
  const double narrowRate = down_.outputRateHz();
  const double columnSeconds = settings_.frameSeconds / settings_.columns;
  const double spectrumSeconds = static_cast<double>(spectra_->length) / narrowRate;
  // Spectra overlap by half at least; a column longer than that averages several.
  const int perColumn =
      std::max(1, static_cast<int>(std::ceil(2.0 * columnSeconds / spectrumSeconds)));
  const double recordedFrom = static_cast<double>(first_) / rate;
  const double recordedTo = static_cast<double>(first_ + fed_) / rate;
  std::vector<double> sum(static_cast<std::size_t>(rows));
  for (int c = 0; c < settings_.columns; ++c) {
    const double centre = (c + 0.5) * columnSeconds;
    if (centre < recordedFrom || centre >= recordedTo) {
      continue;
    }
    std::fill(sum.begin(), sum.end(), 0.0);
    int taken = 0;
    for (int s = 0; s < perColumn; ++s) {
      const double at = centre + ((s + 0.5) / perColumn - 0.5) * columnSeconds;
      // Decimated sample j stands for input first_ + j * decimation.
      const double j = (at * rate - static_cast<double>(first_)) / down_.decimation();
      const std::int64_t start = std::lround(j - static_cast<double>(spectra_->length) / 2.0);
      if (!spectra_->take(narrow_, start)) {
        continue;
      }
      ++taken;
      for (int r = 0; r < rows; ++r) {
        sum[static_cast<std::size_t>(r)] += spectra_->rowPower(r);
      }
    }
    if (taken == 0) {
      continue;
    }
    for (int r = 0; r < rows; ++r) {
      grid.power[static_cast<std::size_t>(r) * static_cast<std::size_t>(grid.columns) +
                 static_cast<std::size_t>(c)] =
          static_cast<float>(sum[static_cast<std::size_t>(r)] / taken);
    }
  }
  return grid;
}

PowerGrid Stack::add(PowerGrid grid) {
  if (!grids_.empty() &&
      (grids_.back().rows != grid.rows || grids_.back().columns != grid.columns)) {
    grids_.clear();
  }
  grids_.push_back(std::move(grid));
  while (grids_.size() > depth_) {
    grids_.pop_front();
  }
  PowerGrid mean = grids_.back();
  for (std::size_t i = 0; i < mean.power.size(); ++i) {
    double sum = 0.0;
    int count = 0;
    for (const PowerGrid& g : grids_) {
      if (!std::isnan(g.power[i])) {
        sum += static_cast<double>(g.power[i]);
        ++count;
      }
    }
    mean.power[i] = count == 0 ? kNothing : static_cast<float>(sum / count);
  }
  return mean;
}

}  // namespace bitoner::grab
