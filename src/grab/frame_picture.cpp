// SPDX-License-Identifier: GPL-3.0-or-later
#include "grab/frame_picture.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include "grab/picture.h"

namespace bitoner::grab {

namespace {

constexpr Rgb kBackground{22, 24, 32};
constexpr Rgb kNoRecording{48, 48, 52};
constexpr Rgb kText{232, 232, 232};
constexpr Rgb kTick{150, 150, 160};
constexpr Rgb kReading{255, 214, 96};
constexpr Rgb kShadow{0, 0, 0};

constexpr int kTitleHeight = 30;
constexpr int kReadingHeight = 24;
constexpr int kLeftMargin = 100;
constexpr int kRightMargin = 84;
constexpr int kBottomMargin = 44;
constexpr int kTitleSize = 16;
constexpr int kLabelSize = 12;
constexpr int kMarkSize = 16;
constexpr int kTickLength = 5;
constexpr int kColourBarGap = 12;
constexpr int kColourBarWidth = 12;
// The fewest and most ticks an axis is given.
constexpr int kMostTimeTicks = 12;
constexpr int kMostFrequencyTicks = 12;
// Automatic levels: the floor at the median cell (the noise, so that half of it is dark), the top
// at the strongest cells but for the few that keying clicks and noise peaks make, and a span of at
// least this many dB so that noise alone is not stretched over the whole map.
constexpr double kBelowMedianDb = 0.0;
constexpr double kTopShare = 0.998;
constexpr double kLeastSpanDb = 12.0;

// Perceptually uniform, readable in grey and by the colour-blind: viridis, as a polynomial fit.
Rgb viridis(double t) {
  t = std::clamp(t, 0.0, 1.0);
  static constexpr std::array<std::array<double, 3>, 7> kCoefficients{{
      {0.2777273272234177, 0.005407344544966578, 0.3340998053353061},
      {0.1050930431085774, 1.404613529898575, 1.384590162594685},
      {-0.3308618287255563, 0.214847559468213, 0.09509516302823659},
      {-4.634230498983486, -5.799100973351585, -19.33244095627987},
      {6.228269936347081, 14.17993336680509, 56.69055260068105},
      {4.776384997670288, -13.74514537774601, -65.35303263337234},
      {-5.435455855934631, 4.645852612178535, 26.3124352495832},
  }};
  std::array<double, 3> c{};
  for (std::size_t k = kCoefficients.size(); k-- > 0;) {
    for (std::size_t i = 0; i < 3; ++i) {
      c[i] = c[i] * t + kCoefficients[k][i];
    }
  }
  const auto byte = [](double v) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0));
  };
  return {byte(c[0]), byte(c[1]), byte(c[2])};
}

std::string fixed(double value, int digits) {
  char text[64];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, digits);
  return ec == std::errc() ? std::string(text, end) : std::string("?");
}

// The step of 1, 2 or 5 times a power of ten that gives at most `most` ticks over `span`.
double niceStep(double span, int most) {
  double step = std::pow(10.0, std::floor(std::log10(span / most)));
  for (const double factor : {1.0, 2.0, 5.0, 10.0}) {
    if (span / (step * factor) <= most) {
      return step * factor;
    }
  }
  return step * 10.0;
}

double timeStep(double seconds) {
  for (const double step : {1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 900.0,
                            1800.0, 3600.0, 7200.0, 10800.0, 21600.0}) {
    if (seconds / step <= kMostTimeTicks) {
      return step;
    }
  }
  return 43200.0;
}

void shadowedText(Canvas& canvas, int x, int y, const std::string& text, int size, Rgb colour) {
  canvas.text(x + 1, y + 1, text, size, kShadow);
  canvas.text(x, y, text, size, colour);
}

class Layout {
 public:
  Layout(const PowerGrid& grid, const FrameCaption& caption)
      : grid_(grid), caption_(caption), place_(plotPlace(caption)) {}

  int width() const { return place_.left + grid_.columns + kRightMargin; }
  int height() const { return place_.top + grid_.rows + kBottomMargin; }

  double x(double seconds) const {
    return place_.left + seconds / caption_.frameSeconds * grid_.columns;
  }
  double y(double hz) const {
    return place_.top + (caption_.highHz - hz) / (caption_.highHz - caption_.lowHz) * grid_.rows -
           0.5;
  }

  void drawGrid(Canvas& canvas, double lowDb, double highDb) const {
    for (int r = 0; r < grid_.rows; ++r) {
      for (int c = 0; c < grid_.columns; ++c) {
        const float p = grid_.at(r, c);
        canvas.set(
            place_.left + c, place_.top + r,
            std::isnan(p)
                ? kNoRecording
                : viridis((10.0 * std::log10(std::max(static_cast<double>(p), 1e-30)) - lowDb) /
                          (highDb - lowDb)));
      }
    }
  }

  std::string titleLine() const {
    const auto end = caption_.start + std::chrono::duration_cast<WallClock::duration>(
                                          std::chrono::duration<double>(caption_.frameSeconds));
    const std::string endText = utcMinuteText(end).substr(11);
    const double low = caption_.lowHz + caption_.labelOffsetHz;
    const double high = caption_.highHz + caption_.labelOffsetHz;
    const int digits = std::clamp(static_cast<int>(std::ceil(-std::log10(frequencyStep()))), 0, 3);
    std::string line = caption_.title + "   " + utcMinuteText(caption_.start) + "\u2013" + endText +
                       " UTC   " + fixed(low, digits) + "\u2013" + fixed(high, digits) + " Hz";
    if (!caption_.note.empty()) {
      line += "   " + caption_.note;
    }
    return line;
  }

  void drawTitle(Canvas& canvas) const {
    canvas.text(8, 21, titleLine(), kTitleSize, kText);
    if (!caption_.reading.empty()) {
      canvas.text(8, kTitleHeight + 17, "Read: " + caption_.reading, kLabelSize + 2, kReading);
    }
  }

  double frequencyStep() const {
    return niceStep(caption_.highHz - caption_.lowHz, kMostFrequencyTicks);
  }

  void drawFrequencyAxis(Canvas& canvas) const {
    const double step = frequencyStep();
    const int digits = std::clamp(static_cast<int>(std::ceil(-std::log10(step))), 0, 3);
    const double offset = caption_.labelOffsetHz;
    // Ticks at round frequencies as labelled, at RF when a dial is given.
    const double first = std::ceil((caption_.lowHz + offset) / step) * step - offset;
    for (double hz = first; hz <= caption_.highHz; hz += step) {
      const int y = static_cast<int>(std::lround(this->y(hz)));
      canvas.fill(place_.left - kTickLength, y, kTickLength, 1, kTick);
      const std::string label = fixed(hz + offset, digits);
      const int w = canvas.textWidth(label, kLabelSize);
      canvas.text(place_.left - kTickLength - 3 - w, y + kLabelSize / 2 - 1, label, kLabelSize,
                  kText);
    }
    canvas.text(6, place_.top + grid_.rows / 2, "Hz", kLabelSize, kTick);
  }

  void drawTimeAxis(Canvas& canvas) const {
    const double step = timeStep(caption_.frameSeconds);
    const int bottom = place_.top + grid_.rows;
    for (double s = 0.0; s <= caption_.frameSeconds + 1e-9; s += step) {
      const int x =
          std::min(static_cast<int>(std::lround(this->x(s))), place_.left + grid_.columns - 1);
      canvas.fill(x, bottom, 1, kTickLength, kTick);
      const auto when = caption_.start + std::chrono::duration_cast<WallClock::duration>(
                                             std::chrono::duration<double>(s));
      const std::string label = utcMinuteText(when, step < 60.0).substr(11);
      const int w = canvas.textWidth(label, kLabelSize);
      canvas.text(x - w / 2, bottom + kTickLength + 14, label, kLabelSize, kText);
    }
    const std::string utc = "UTC";
    canvas.text(place_.left + grid_.columns - canvas.textWidth(utc, kLabelSize),
                bottom + kTickLength + 32, utc, kLabelSize, kTick);
  }

  void drawColourBar(Canvas& canvas, double lowDb, double highDb) const {
    const int x = place_.left + grid_.columns + kColourBarGap;
    for (int r = 0; r < grid_.rows; ++r) {
      const double t = 1.0 - (r + 0.5) / grid_.rows;
      canvas.fill(x, place_.top + r, kColourBarWidth, 1, viridis(t));
    }
    const int labelX = x + kColourBarWidth + 4;
    canvas.text(labelX, place_.top + kLabelSize - 2, fixed(highDb, 0), kLabelSize, kText);
    canvas.text(labelX, place_.top + grid_.rows, fixed(lowDb, 0), kLabelSize, kText);
    canvas.text(labelX, place_.top + grid_.rows / 2, "dBFS", kLabelSize, kTick);
  }

  void drawMarks(Canvas& canvas) const {
    for (const TraceMark& mark : caption_.marks) {
      const int w = canvas.textWidth(mark.text, kMarkSize);
      const int x = static_cast<int>(std::lround(this->x(mark.seconds))) - w / 2;
      // Above the trace, but inside the plot.
      const int y =
          std::max(place_.top + kMarkSize, static_cast<int>(std::lround(this->y(mark.hz))) - 8);
      shadowedText(canvas, x, y, mark.text, kMarkSize, kText);
    }
  }

 private:
  const PowerGrid& grid_;
  const FrameCaption& caption_;
  PlotPlace place_;
};

}  // namespace

PlotPlace plotPlace(const FrameCaption& caption) {
  return {kLeftMargin, kTitleHeight + (caption.readingLine ? kReadingHeight : 0)};
}

std::pair<double, double> automaticRange(const PowerGrid& grid) {
  std::vector<float> db;
  db.reserve(grid.power.size());
  for (const float p : grid.power) {
    if (!std::isnan(p)) {
      db.push_back(10.0F * std::log10(std::max(p, 1e-30F)));
    }
  }
  if (db.empty()) {
    return {-100.0, -100.0 + kLeastSpanDb};
  }
  const auto middle = db.begin() + static_cast<std::ptrdiff_t>(db.size() / 2);
  std::nth_element(db.begin(), middle, db.end());
  const double floor = static_cast<double>(*middle) - kBelowMedianDb;
  const auto high =
      db.begin() + static_cast<std::ptrdiff_t>(static_cast<double>(db.size() - 1) * kTopShare);
  std::nth_element(db.begin(), high, db.end());
  const auto top = static_cast<double>(*high);
  return {std::floor(floor), std::ceil(std::max(top, floor + kLeastSpanDb))};
}

std::vector<std::byte> framePng(const PowerGrid& grid, const FrameCaption& caption) {
  const Layout layout(grid, caption);
  Canvas canvas(layout.width(), layout.height(), kBackground);
  const auto [lowDb, highDb] = caption.rangeDb ? *caption.rangeDb : automaticRange(grid);
  layout.drawGrid(canvas, lowDb, highDb);
  layout.drawTitle(canvas);
  layout.drawFrequencyAxis(canvas);
  layout.drawTimeAxis(canvas);
  layout.drawColourBar(canvas, lowDb, highDb);
  layout.drawMarks(canvas);
  // The title and what was read also as the picture's text, for programs and screen readers.
  std::vector<std::pair<std::string, std::string>> texts{
      {"Title", layout.titleLine()},
      {"Creation Time", utcMinuteText(caption.start, true) + "Z"},
      {"Software", "Bitoner"}};
  if (!caption.reading.empty()) {
    texts.emplace_back("Decoded", caption.reading);
  }
  return canvas.png(texts);
}

}  // namespace bitoner::grab
