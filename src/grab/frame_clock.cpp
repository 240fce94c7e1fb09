// SPDX-License-Identifier: GPL-3.0-or-later
#include "grab/frame_clock.h"

#include <cctype>
#include <charconv>
#include <ctime>

namespace bitoner::grab {

namespace {

constexpr auto kDay = std::chrono::days(1);

std::tm utcParts(WallClock::time_point when) {
  const std::time_t seconds = WallClock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  return parts;
}

std::string twoDigits(int value) {
  return std::string(1, static_cast<char>('0' + value / 10)) + static_cast<char>('0' + value % 10);
}

std::string dateText(const std::tm& parts, const char* separator) {
  return std::to_string(parts.tm_year + 1900) + separator + twoDigits(parts.tm_mon + 1) +
         separator + twoDigits(parts.tm_mday);
}

}  // namespace

WallClock::time_point FrameClock::frameStart(WallClock::time_point when) const {
  const auto day = std::chrono::floor<std::chrono::days>(when);
  return day + std::chrono::floor<std::chrono::minutes>(when - day) / length * length;
}

bool tilesDay(std::chrono::milliseconds length) {
  return length >= std::chrono::minutes(1) && length <= kDay &&
         length % std::chrono::minutes(1) == std::chrono::milliseconds(0) &&
         kDay % length == std::chrono::milliseconds(0);
}

std::string frameFileName(std::string_view prefix, WallClock::time_point start, int take) {
  const std::tm parts = utcParts(start);
  return std::string(prefix) + "-" + dateText(parts, "") + "T" + twoDigits(parts.tm_hour) +
         twoDigits(parts.tm_min) + "Z" + (take > 1 ? "-" + std::to_string(take) : "") + ".png";
}

std::optional<WallClock::time_point> parseUtc(std::string_view text) {
  const std::string copy(text);
  std::tm parts{};
  const char* rest = strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%S", &parts);
  if (rest == nullptr) {
    return std::nullopt;
  }
  std::chrono::nanoseconds fraction{0};
  if (*rest == '.') {
    ++rest;
    long long scale = 100'000'000;
    const char* digits = rest;
    while (std::isdigit(static_cast<unsigned char>(*rest)) != 0) {
      fraction += std::chrono::nanoseconds((*rest - '0') * scale);
      scale /= 10;
      ++rest;
    }
    if (rest == digits) {
      return std::nullopt;
    }
  }
  if (std::string_view(rest) != "Z") {
    return std::nullopt;
  }
  return WallClock::from_time_t(timegm(&parts)) +
         std::chrono::duration_cast<WallClock::duration>(fraction);
}

std::string utcMinuteText(WallClock::time_point when, bool seconds) {
  const std::tm parts = utcParts(when);
  std::string text =
      dateText(parts, "-") + " " + twoDigits(parts.tm_hour) + ":" + twoDigits(parts.tm_min);
  return seconds ? text + ":" + twoDigits(parts.tm_sec) : text;
}

}  // namespace bitoner::grab
