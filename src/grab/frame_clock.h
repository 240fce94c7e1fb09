// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace bitoner::grab {

using WallClock = std::chrono::system_clock;

// Frames are aligned to UTC as beacon slots are: they start at 00:00 UTC and every whole
// multiple of their length after it, so frames of any two stations (and of one station on any
// two days) cover the same minutes and can be compared and stacked.
struct FrameClock {
  std::chrono::minutes length{10};  // divides a day

  // The start of the frame that holds `when`.
  WallClock::time_point frameStart(WallClock::time_point when) const;
};

// Whether frames of this length tile a day: whole minutes, from one to a day, dividing it.
bool tilesDay(std::chrono::milliseconds length);

// "PREFIX-YYYYMMDDTHHMMZ.png", the picture of the frame starting at `start`; for a later `take`
// of the same frame "PREFIX-YYYYMMDDTHHMMZ-TAKE.png".
std::string frameFileName(std::string_view prefix, WallClock::time_point start, int take = 1);

// Reads a UTC time given as "2026-12-08T14:00:00Z", with an optional fraction of the second.
std::optional<WallClock::time_point> parseUtc(std::string_view text);

// "2026-12-08 14:00", or with `seconds` "2026-12-08 14:00:00", in UTC.
std::string utcMinuteText(WallClock::time_point when, bool seconds = false);

}  // namespace bitoner::grab
