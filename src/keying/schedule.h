// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace bitoner {

using Milliseconds = std::chrono::milliseconds;
using WallClock = std::chrono::system_clock;

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
