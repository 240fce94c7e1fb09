// SPDX-License-Identifier: GPL-3.0-or-later
#include "keying/schedule.h"

#include <charconv>
#include <cmath>
#include <ctime>
#include <string>

namespace bitoner {

namespace {

constexpr double kMillisecondsPerSecond = 1000.0;
constexpr double kSecondsPerMinute = 60.0;
constexpr double kSecondsPerHour = 3600.0;
constexpr auto kDay = std::chrono::days(1);

}  // namespace

std::optional<Milliseconds> parseDuration(std::string_view text) {
  double seconds = 0.0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, seconds);
  if (error != std::errc() || stop == text.data()) {
    return std::nullopt;
  }
  const std::string_view unit(stop, static_cast<std::size_t>(end - stop));
  if (unit == "m") {
    seconds *= kSecondsPerMinute;
  } else if (unit == "h") {
    seconds *= kSecondsPerHour;
  } else if (!unit.empty() && unit != "s") {
    return std::nullopt;
  }
  const double limit = std::chrono::duration<double>(kDay).count();
  if (!std::isfinite(seconds) || seconds < 0.0 || seconds > limit) {
    return std::nullopt;
  }
  return Milliseconds(
      static_cast<Milliseconds::rep>(std::llround(seconds * kMillisecondsPerSecond)));
}

std::string utcText(WallClock::time_point when) {
  const std::time_t seconds = WallClock::to_time_t(when);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[32];
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return std::string(text, length) + "." + std::to_string(1000 + millis).substr(1) + "Z";
}

WallClock::time_point PassSchedule::nextStart(WallClock::time_point earliest) const {
  if (every <= Milliseconds(0)) {
    return earliest;
  }
  using std::chrono::floor;
  const auto day = floor<std::chrono::days>(earliest);
  // An offset of a period or more names the same slots as its remainder.
  const Milliseconds shift = offset % every;
  // The slots of the day `earliest` falls in, then the first slot of the next day: whichever comes
  // first at or after `earliest`. Slots that would spill into the next day do not exist, so every
  // day's schedule is the same.
  for (const auto start : {day, day + kDay}) {
    const auto first = start + shift;
    if (first >= earliest) {
      return first;
    }
    const auto since = earliest - first;
    const auto steps = (since + every - WallClock::duration(1)) / every;
    const auto slot = first + steps * every;
    if (slot < start + kDay) {
      return slot;
    }
  }
  return day + kDay + shift;
}

}  // namespace bitoner
