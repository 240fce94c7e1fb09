// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "grab/frame_clock.h"
#include "grab/spectrogram.h"

namespace bitoner::grab {

// A character read, to be written above its trace.
struct TraceMark {
  double seconds = 0.0;  // its middle, from the frame's start
  double hz = 0.0;       // its highest tone, in baseband
  std::string text;
};

// Everything on a frame's picture beside the spectrogram.
struct FrameCaption {
  std::string title = "Bitoner grab";
  WallClock::time_point start;
  double frameSeconds = 600.0;
  double lowHz = 0.0;  // the band, in baseband, as the grid shows it
  double highHz = 0.0;
  double labelOffsetHz = 0.0;  // added to every frequency on the axis: the dial, for RF
  std::string note;            // after the title line's times, e.g. the frames stacked
  bool readingLine = false;    // the picture has a line for what was read
  std::string reading;         // that line's text; empty when nothing was read
  std::vector<TraceMark> marks;
  std::optional<std::pair<double, double>> rangeDb;  // the colour map's ends; else automatic
};

// Where the spectrogram lies on the picture: its top left pixel; a grid cell is one pixel.
struct PlotPlace {
  int left = 0;
  int top = 0;
};
PlotPlace plotPlace(const FrameCaption& caption);

// The colour map's ends for a grid: from its noise floor to its strongest cell, in dB.
std::pair<double, double> automaticRange(const PowerGrid& grid);

// The picture of a frame as PNG. Throws PictureError.
std::vector<std::byte> framePng(const PowerGrid& grid, const FrameCaption& caption);

}  // namespace bitoner::grab
