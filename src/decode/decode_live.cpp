// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/decode_live.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace bitoner::decode {

namespace {

// The recording kept for each decoding: long enough for the level, offset and timing to be
// judged from many symbols.
constexpr double kWindowSymbols = 60.0;
constexpr double kShortestWindowSeconds = 30.0;
// A character is decided once this many symbols have followed its end: the longest character
// lasts under eight, so the decoder has seen all of it and what comes next.
constexpr double kDecidedAfterSymbols = 10.0;
// A transmission begins a new line only after a pause at least this long: shorter ones part no
// transmissions (the pass finder joins what they part), whatever one decoding of a window says.
constexpr double kPauseSymbols = 8.0;
// How often the window is decoded again, at most once a symbol.
constexpr double kShortestIntervalSeconds = 0.5;

// Ordinary Morse timing's characters last about three times as many dots as three-tone's
// characters last symbols: the window and the wait are counted in three-tone's symbols.
double symbolLike(const DecoderSettings& settings) {
  DecoderSettings threeTone = settings;
  threeTone.mode = Mode::ThreeTone;
  const double rate = settings.sampleRateHz;
  return std::nearbyint(settings.symbolSeconds * rate) / rate * longestCharacterSeconds(settings) /
         longestCharacterSeconds(threeTone);
}

}  // namespace

LiveDecoder::LiveDecoder(const DecoderSettings& settings) : settings_(settings) {
  const Decoder check(settings);  // refuses settings before anything is recorded
  const double rate = settings.sampleRateHz;
  const double symbol = symbolLike(settings);
  windowFrames_ =
      static_cast<std::size_t>(rate * std::max(kShortestWindowSeconds, kWindowSymbols * symbol));
  intervalFrames_ = static_cast<std::size_t>(rate * std::max(kShortestIntervalSeconds, symbol));
}

std::vector<LiveCharacter> LiveDecoder::feed(std::span<const std::complex<float>> samples) {
  window_.insert(window_.end(), samples.begin(), samples.end());
  sinceDecided_ += samples.size();
  if (window_.size() > windowFrames_) {
    const std::size_t drop = window_.size() - windowFrames_;
    window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(drop));
    firstFrame_ += static_cast<std::int64_t>(drop);
  }
  if (sinceDecided_ < intervalFrames_) {
    return {};
  }
  sinceDecided_ = 0;
  return decide(false);
}

std::vector<LiveCharacter> LiveDecoder::breakOff() {
  std::vector<LiveCharacter> decided = decide(true);
  firstFrame_ += static_cast<std::int64_t>(window_.size());
  window_.clear();
  sinceDecided_ = 0;
  spacePending_ = false;
  decidedAny_ = false;
  return decided;
}

// Decodes the window and takes what is decided: everything when `final`.
std::vector<LiveCharacter> LiveDecoder::decide(bool final) {
  Decoder decoder(settings_);
  const std::vector<std::complex<float>> samples(window_.begin(), window_.end());
  decoder.feed(samples);
  const Decoded decoded = decoder.decode();
  const double rate = settings_.sampleRateHz;
  const double windowStart = static_cast<double>(firstFrame_) / rate;
  const double windowEnd = windowStart + static_cast<double>(window_.size()) / rate;
  const double symbol = symbolLike(settings_);
  std::vector<LiveCharacter> decided;
  for (const DecodedPass& pass : decoded.passes) {
    bool firstOfPass = true;
    for (const DecodedCharacter& c : pass.characters) {
      const double start = windowStart + c.startSeconds;
      const double end = start + c.seconds;
      const bool opens = std::exchange(firstOfPass, false);
      if (start < decidedUntil_ - symbol / 2.0) {
        continue;  // taken from an earlier window
      }
      if (!final && end > windowEnd - kDecidedAfterSymbols * symbol) {
        return decided;
      }
      const double previousEnd = std::exchange(decidedUntil_, end);
      if (c.character == U' ') {
        spacePending_ = decidedAny_;
        continue;
      }
      const bool newLine = opens && decidedAny_ && start - previousEnd >= kPauseSymbols * symbol;
      decided.push_back(LiveCharacter{.character = c.character,
                                      .spaceBefore = spacePending_ && !newLine,
                                      .lineBefore = newLine,
                                      .startSeconds = start,
                                      .confidence = c.confidence,
                                      .offsetHz = c.offsetHz,
                                      .snrDb = pass.snrDb});
      spacePending_ = false;
      decidedAny_ = true;
    }
  }
  return decided;
}

}  // namespace bitoner::decode
