// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "decode/decoder.h"
#include "grab/frame_clock.h"
#include "grab/frame_picture.h"
#include "grab/spectrogram.h"

namespace bitoner::grab {

// What a grab draws and how it names its pictures.
struct GrabSettings {
  SpanSettings span;  // its frameSeconds is set from `clock`
  FrameClock clock;
  std::string prefix = "grab";
  std::string title = "Bitoner grab";
  double labelOffsetHz = 0.0;                        // the dial, to label the axis at RF
  std::optional<std::pair<double, double>> rangeDb;  // the colour map's ends; else automatic
  std::optional<decode::DecoderSettings> decoding;   // read the keying and write it on
  std::size_t stack = 0;                             // also stack the last this many frames
};

// Cuts a recording into frames aligned to UTC and hands each frame's picture over as PNG bytes
// under its file name, then again as PREFIX-latest.png (and, stacking, PREFIX-stack-... and
// PREFIX-stack-latest.png). A frame is drawn when it is complete, when the recording ends, or
// when asked for the frame so far. A frame the clock comes back to after stepping back is drawn
// again beside the first picture, never over it: its take is in the file name.
class Grabber {
 public:
  using Publish = std::function<void(const std::string& fileName, std::span<const std::byte> png)>;

  // Throws SpanError or decode::SettingsError for settings no frame can be drawn with.
  Grabber(GrabSettings settings, Publish publish);
  ~Grabber();
  Grabber(const Grabber&) = delete;
  Grabber& operator=(const Grabber&) = delete;

  // The recording's first sample lies at `when`.
  void start(WallClock::time_point when);
  // Samples following those fed before. Frames end by the count of samples; given `endsAt`, the
  // wall-clock time just after the last of them, each new frame is placed by the clock instead,
  // and a clock that has stepped away from the samples ends the frame and starts the one the
  // clock is in.
  void feed(std::span<const std::complex<float>> samples,
            std::optional<WallClock::time_point> endsAt = std::nullopt);
  // The recording breaks off here (a lost sound server). The next samples fed, with `endsAt`, are
  // placed by the clock: in the frame being drawn after a gap that stays empty in its picture, or
  // in the frame the clock is then in.
  void breakOff() { brokenOff_ = true; }
  // Draws the frame so far under its name and as the latest.
  void publishSoFar();
  // Draws the last frame, if it holds anything.
  void finish();

  // The start of the frame being filled.
  WallClock::time_point frameStart() const { return frameStart_; }

 private:
  // An unbroken stretch of recording within the frame, with its own reading of the keying.
  struct Stretch {
    std::unique_ptr<FrameSpectrum> spectrum;
    std::unique_ptr<decode::Decoder> decoder;
  };

  void open(WallClock::time_point firstSampleAt);
  void addStretch(WallClock::time_point firstSampleAt);
  void resume(WallClock::time_point at);
  void close();
  void publishFrame(bool complete);
  // The stretch's reading of the keying, added to the caption's line and marks.
  void addReading(const Stretch& stretch, FrameCaption& caption) const;
  std::int64_t frameFrames() const;
  // Which time the frame being filled is drawn: 1, or more after the clock stepped back into it.
  int take() const;
  // The file name of the frame being filled.
  std::string frameFileName() const;
  // Where the next sample lies by the count of samples fed.
  WallClock::time_point position() const;

  GrabSettings settings_;
  Publish publish_;
  std::optional<Stack> stack_;
  WallClock::time_point frameStart_;
  // The latest frame started, and the frames at or before it started again since (a few, one for
  // each step of the clock back), with how many times.
  std::optional<WallClock::time_point> latestStart_;
  std::map<WallClock::time_point, int> takes_;
  std::vector<Stretch> stretches_;  // the frame's, in order; samples go to the last
  bool brokenOff_ = false;
};

}  // namespace bitoner::grab
