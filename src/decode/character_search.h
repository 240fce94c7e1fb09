// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace bitoner::decode {

// A window whose energy counts towards a reading: a tone over a symbol or over a gap, at an offset
// from the reading's start, in steps.
enum class WindowKind : std::uint8_t { IdleSymbol, DotSymbol, DashSymbol, IdleGap };
inline constexpr std::size_t kWindowKinds = 4;
// The longest pattern in the table.
inline constexpr std::size_t kMostElements = 6;
inline constexpr double kNoScore = -std::numeric_limits<double>::infinity();

struct Window {
  WindowKind kind;
  std::int64_t offset;
};

// One way to go on from a character boundary: a character (or a word space) of a given length.
struct Reading {
  char32_t character;  // ' ' for a word space
  std::string_view pattern;
  std::int64_t steps;  // its length, the following boundary
  std::int64_t reach;  // how far its windows reach, and its pause unless that is silence
  std::vector<Window> windows;
  std::size_t node;    // its pattern's place in a binary tree of patterns, level by level
  double prior = 0.0;  // added to its score: a word space of silence costs this much
};

// The places of a binary tree of patterns, level by level: one per pattern of up to the longest.
inline constexpr std::size_t kPatternNodes = (std::size_t{2} << kMostElements) - 1;

// Where a character's windows lie, in steps from its start, by the node of its pattern so far:
// the windows that node's last element and the gap after it add, and those of the pause that ends
// a character of that pattern.
// Where dashes are read a dot at a time, a dash node's element begins with its dots, and
// `wholeDash` is one window over all of them: the dash is read both ways (see CharacterTiming).
struct Layout {
  std::array<std::vector<Window>, kPatternNodes> element;
  std::array<std::vector<Window>, kPatternNodes> end;
  std::array<std::optional<Window>, kPatternNodes> wholeDash;
  std::size_t dashDots = 0;  // the dot windows a whole dash covers
  // Where a dash's dots lie from its whole window's start, each way rounding puts them; by node.
  std::vector<std::vector<std::int64_t>> dashShapes;
  std::array<std::size_t, kPatternNodes> dashShape{};
};

// How a mode keys a character, in frames: each element, then the gap after it; a pause to end
// the character; a word space. In ordinary Morse timing a word space is read a dot at a time: a
// recording may begin anywhere in the key up before a message, and runs of spaces print as one.
// Where the pauses are silence they are no windows: they hold nothing to tell a transmission from
// noise. In ordinary Morse timing every window is one dot long: a dash or a pause is dots in a row,
// each summed on its own, so that a phase that wanders over a long element (fading, drift the track
// missed) costs little. A dash is read besides as one window over its whole key down, for where
// the phase held: its three dots summed apart would lend noise the strength of three chances.
// The likelier of the two readings counts, each of them being given half the odds.
struct CharacterTiming {
  std::int64_t dotFrames = 0;
  std::int64_t dashFrames = 0;
  std::int64_t gapFrames = 0;
  std::int64_t idleFrames = 0;
  std::int64_t spaceFrames = 0;
  bool silentPauses = false;
  bool dotWindows = false;
  // A word space of silence is no evidence either way; it costs this much (natural log), so that
  // a transmission does not gather chance characters across the noise after it for free.
  double silentSpaceCost = 0.0;
};

// The length of each kind of window in whole steps (at least one, but an empty gap).
std::array<std::int64_t, kWindowKinds> windowSteps(const CharacterTiming& timing,
                                                   std::int64_t stepFrames);

// The magnitudes of every window of the recording, scaled to the noise RMS per sample: one per
// kind and starting step.
struct WindowSums {
  std::array<std::vector<double>, kWindowKinds> magnitudes;
  std::array<std::int64_t, kWindowKinds> frames{};  // samples in each kind of window
  std::array<std::int64_t, kWindowKinds> steps{};   // steps in each kind of window
  std::int64_t stepCount = 0;                       // steps in the recording
  std::array<bool, kWindowKinds> silent{};          // silence: every window of it scores 0
};

// Every character of the pattern table and a word space, each at the two whole step counts
// around its exact length so that the boundaries follow the frames.
struct Readings {
  std::vector<Reading> all;
  Layout layout;
};
Readings makeReadings(const CharacterTiming& timing, std::int64_t stepFrames);

// A run of readings with noise before and after: one transmission.
struct PathRun {
  std::vector<std::pair<std::int64_t, std::int32_t>> readings;  // (start step, reading)
  double score = 0.0;  // its log-likelihood ratio against noise, the start's cost not counted
};

// The character and timing search for given levels: a dynamic programme over character
// boundaries in which noise may stand between transmissions.
class Search {
 public:
  Search(const WindowSums& sums, const Readings& readings);

  // The log-likelihood ratios of the windows starting in steps [first, last) for one level
  // (amplitude over noise RMS per sample), or for a level per step from `first` on, which may be
  // `uncertain`: known only to within a few dB, as a level followed through fading is.
  void setLevel(double u, std::int64_t first, std::int64_t last);
  void setLevels(const std::vector<double>& perStep, std::int64_t first, std::int64_t last,
                 bool uncertain);

  // The scores of every reading starting at `at`, by way of the scores of every pattern prefix,
  // which the patterns share.
  void scoresAt(std::int64_t at, std::vector<double>& out) const;
  double score(const Reading& reading, std::int64_t at) const;

  // The likeliest reading of steps [first, last): runs of characters, each costing `startCost`
  // to begin, with noise between. Each character (not a word space) costs `characterCost` besides,
  // so that one at either end of a run must stand out that much from noise. Returns the total score
  // (costs taken off) and the runs.
  double best(std::int64_t first, std::int64_t last, double startCost, std::vector<PathRun>& runs,
              double characterCost = 0.0) const;

  // For every boundary in [first, last], the log of the summed likelihood ratios of all ways on
  // from it (ending there included), indexed from `first`.
  std::vector<double> backward(std::int64_t first, std::int64_t last) const;

  const Readings& readings() const { return readings_; }

 private:
  double window(WindowKind kind, std::int64_t at) const;
  double sum(const std::vector<Window>& windows, std::int64_t at) const;
  // What a node's element (and the gap after it) scores at a character starting at `at`.
  double element(std::size_t node, std::int64_t at) const;

  // A dash read both ways, by its whole window's start, for each of the layout's dash shapes.
  double bothWays(std::size_t shape, std::int64_t at) const;

  const WindowSums& sums_;
  const Readings& readings_;
  std::array<std::vector<double>, kWindowKinds> scores_;
  std::vector<std::vector<double>> dashes_;  // bothWays, kept as the levels are set
};

// ln I0(x) for x >= 0.
double logBesselI0(double x);
// ln(e^a + e^b).
double logAddExp(double a, double b);

}  // namespace bitoner::decode
