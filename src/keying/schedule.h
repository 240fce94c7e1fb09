// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace bitoner {

using Milliseconds = std::chrono::milliseconds;
using WallClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

// The clocks a schedule reads: the wall clock it keys to, and a steady clock that neither a time
// service setting the wall clock nor a suspend moves (it stands still while the machine sleeps).
// Tests give their own.
class Clocks {
 public:
  virtual ~Clocks() = default;
  virtual WallClock::time_point wall() const = 0;
  virtual SteadyClock::time_point steady() const = 0;
};

// The system's clocks.
const Clocks& systemClocks();

// Notices steps of the wall clock (set by a time service or by hand, or a resume from suspend):
// the wall time passed between two looks against the steady time passed. A slow correction by
// a time service (at most half a millisecond a second) stays far below the threshold.
class ClockStepWatch {
 public:
  explicit ClockStepWatch(const Clocks& clocks);
  // How far the wall clock stepped since the last look (forward positive), if by a second or more.
  std::optional<WallClock::duration> look();

 private:
  const Clocks& clocks_;
  WallClock::time_point wall_;
  SteadyClock::time_point steady_;
};

// A step's size for a report: "2.5 s", "1 h 00 min 30 s", "91 d 0 h 00 min 00 s".
std::string stepText(WallClock::duration step);

// Reads a duration as the beacon's options take it: a number of seconds, or a number followed by
// "s", "m" or "h" ("90s", "10m", "1h", "1.5m", "600"). Nothing for any other text, a negative or
// non-finite value, or one beyond a day.
std::optional<Milliseconds> parseDuration(std::string_view text);

// The time as the beacon's report gives it: "2026-12-08 11:11:28.439Z", UTC to the millisecond.
std::string utcText(WallClock::time_point when);

// The beacon's wall-clock schedule: passes start at 00:00 UTC plus `offset`, plus whole multiples
// of `every`, starting afresh every day, so that a receiving station sees every pass at the same
// place of its capture frames day after day.
struct PassSchedule {
  Milliseconds every{0};
  Milliseconds offset{0};

  // The first scheduled start at or after `earliest`.
  WallClock::time_point nextStart(WallClock::time_point earliest) const;
};

}  // namespace bitoner
