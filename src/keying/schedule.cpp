// SPDX-License-Identifier: GPL-3.0-or-later
#include "keying/schedule.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

namespace bitoner {

namespace {

constexpr double kMillisecondsPerSecond = 1000.0;
constexpr double kSecondsPerMinute = 60.0;
constexpr double kSecondsPerHour = 3600.0;
constexpr auto kDay = std::chrono::days(1);
constexpr auto kSmallestStep = std::chrono::seconds(1);

class SystemClocks : public Clocks {
 public:
  WallClock::time_point wall() const override { return WallClock::now(); }
  SteadyClock::time_point steady() const override { return SteadyClock::now(); }
};

}  // namespace

const Clocks& systemClocks() {
  static const SystemClocks clocks;
  return clocks;
}

ClockStepWatch::ClockStepWatch(const Clocks& clocks)
    : clocks_(clocks), wall_(clocks.wall()), steady_(clocks.steady()) {}

std::optional<WallClock::duration> ClockStepWatch::look() {
  const WallClock::time_point wall = clocks_.wall();
  const SteadyClock::time_point steady = clocks_.steady();
  const auto step =
      (wall - wall_) - std::chrono::duration_cast<WallClock::duration>(steady - steady_);
  wall_ = wall;
  steady_ = steady;
  if (step >= kSmallestStep || step <= -kSmallestStep) {
    return step;
  }
  return std::nullopt;
}

std::string stepText(WallClock::duration step) {
  using namespace std::chrono;
  const auto exact = step < WallClock::duration::zero() ? -step : step;
  // Beyond a minute, to the nearest second: the step is measured between two looks at the clocks.
  const auto size = exact < minutes(1) ? exact : round<seconds>(exact);
  char text[64];
  if (size < minutes(1)) {
    std::snprintf(text, sizeof text, "%.1f s", duration<double>(size).count());
    return text;
  }
  const auto days = floor<std::chrono::days>(size);
  const auto hours = floor<std::chrono::hours>(size - days);
  const auto mins = floor<minutes>(size - days - hours);
  const auto secs = floor<seconds>(size - days - hours - mins);
  if (days.count() > 0) {
    std::snprintf(text, sizeof text, "%lld d %lld h %02lld min %02lld s",
                  static_cast<long long>(days.count()), static_cast<long long>(hours.count()),
                  static_cast<long long>(mins.count()), static_cast<long long>(secs.count()));
  } else {
    std::snprintf(text, sizeof text, "%lld h %02lld min %02lld s",
                  static_cast<long long>(hours.count()), static_cast<long long>(mins.count()),
                  static_cast<long long>(secs.count()));
  }
  return text;
}

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
