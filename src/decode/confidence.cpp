// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/confidence.h"

#include <algorithm>
#include <cmath>

namespace bitoner::decode {

namespace {
constexpr double kUnreadableBelow = 0.3;
constexpr char32_t kUnreadable = U'?';
}  // namespace

std::vector<DecodedCharacter> charactersOf(const Search& search, const PassReading& pass,
                                           double stepSeconds) {
  std::vector<DecodedCharacter> characters;
  const std::vector<double> beta = search.backward(pass.first, pass.last);
  const std::vector<Reading>& readings = search.readings().all;
  const auto betaAt = [&](std::int64_t step) {
    return beta[static_cast<std::size_t>(step - pass.first)];
  };
  for (const auto& [start, r] : pass.run.readings) {
    const Reading& reading = readings[static_cast<std::size_t>(r)];
    double same = kNoScore;
    for (const Reading& other : readings) {
      if (other.character == reading.character && start + other.reach <= pass.last) {
        same = logAddExp(
            same, search.score(other, start) + betaAt(std::min(start + other.steps, pass.last)));
      }
    }
    DecodedCharacter c;
    c.confidence = std::clamp(std::exp(same - betaAt(start)), 0.0, 1.0);
    c.character = (c.confidence < kUnreadableBelow && reading.character != U' ')
                      ? kUnreadable
                      : reading.character;
    c.pattern = std::string(reading.pattern);
    c.startSeconds = static_cast<double>(start) * stepSeconds;
    c.seconds = static_cast<double>(reading.steps) * stepSeconds;
    characters.push_back(c);
  }
  // Word spaces at either end are only idle tone around the message.
  while (!characters.empty() && characters.back().character == U' ') {
    characters.pop_back();
  }
  const auto firstCharacter =
      std::find_if(characters.begin(), characters.end(),
                   [](const DecodedCharacter& c) { return c.character != U' '; });
  characters.erase(characters.begin(), firstCharacter);
  return characters;
}

std::string textOf(const std::vector<DecodedCharacter>& characters) {
  std::u32string text;
  for (const DecodedCharacter& c : characters) {
    if (c.character == U' ') {
      if (!text.empty() && text.back() != U' ') {
        text.push_back(U' ');
      }
    } else {
      text.push_back(c.character);
    }
  }
  while (!text.empty() && text.back() == U' ') {
    text.pop_back();
  }
  std::string bytes;
  for (const char32_t c : text) {
    bytes.push_back(static_cast<char>(c));  // the table's characters are all ASCII
  }
  return bytes;
}

}  // namespace bitoner::decode
