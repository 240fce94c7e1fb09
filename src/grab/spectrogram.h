// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <stdexcept>
#include <vector>

#include "grab/downconverter.h"

namespace bitoner::grab {

// Settings no picture can be drawn with; what() says which and why, in the options' terms.
class SpanError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// What a frame's spectrogram shows.
struct SpanSettings {
  double sampleRateHz = 11025.0;  // the recording's true rate (after any clock correction)
  double lowHz = 540.0;           // the band shown, in baseband
  double highHz = 1260.0;
  double resolutionHz = 2.0 / 3.0;  // the spectra's bin spacing
  double frameSeconds = 600.0;
  int columns = 1200;  // time steps across the frame
  bool real = false;   // a receiver's audio: only positive frequencies exist
};

// Throws SpanError for a band that is empty, reaches beyond half the rate (or below zero for a
// real recording), or a resolution that is not positive or coarser than the band.
void checkSpan(const SpanSettings& settings);

// Power over time and frequency: `rows` frequencies from the top of the band down, `columns` time
// steps across the frame. Each cell is the power of a tone of amplitude 1 read as 1 (full scale);
// NaN where the frame holds no recording.
struct PowerGrid {
  int rows = 0;
  int columns = 0;
  std::vector<float> power;  // row-major

  float at(int row, int column) const {
    return power[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns) +
                 static_cast<std::size_t>(column)];
  }
};

// The rows a band of this width at this resolution is drawn with.
int rowsFor(const SpanSettings& settings);

// One frame of a recording as it is fed: the band is mixed down and decimated as it comes, and
// the spectra are taken when asked, of whatever has come so far.
class FrameSpectrum {
 public:
  // The first sample fed lies `firstFrame` samples after the frame's start. Throws SpanError.
  FrameSpectrum(const SpanSettings& settings, std::int64_t firstFrame);
  ~FrameSpectrum();
  FrameSpectrum(const FrameSpectrum&) = delete;
  FrameSpectrum& operator=(const FrameSpectrum&) = delete;

  void feed(std::span<const std::complex<float>> samples);
  // Says that nothing more comes, so the last samples fed reach the spectra too.
  void finish() { down_.finish(narrow_); }
  // The spectrogram of what has been fed. Throws decode::LibraryMissing without FFTW.
  PowerGrid grid();
  // Samples fed so far.
  std::int64_t framesFed() const { return fed_; }
  std::int64_t firstFrame() const { return first_; }

 private:
  struct Spectra;

  SpanSettings settings_;
  std::int64_t first_;
  std::int64_t fed_ = 0;
  Downconverter down_;
  std::vector<std::complex<float>> narrow_;  // the band, decimated
  std::unique_ptr<Spectra> spectra_;
};

// The average power of the last frames, cell by cell over the frames that hold a recording there:
// a signal that repeats every frame rises out of noise that does not.
class Stack {
 public:
  explicit Stack(std::size_t depth) : depth_(depth) {}
  // Adds a frame's grid and returns the average of the last `depth` frames' grids.
  PowerGrid add(PowerGrid grid);
  std::size_t frames() const { return grids_.size(); }

 private:
  std::size_t depth_;
  std::deque<PowerGrid> grids_;
};

}  // namespace bitoner::grab
