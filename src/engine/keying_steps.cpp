// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/keying_steps.h"

#include <algorithm>

namespace bitoner {

namespace {

constexpr char kDotSymbol = '.';
constexpr char kDashSymbol = '-';
constexpr char kCharacterEnd = ' ';
constexpr char kDotElement = '0';

constexpr char32_t kLastCodePoint = 0x10FFFF;
constexpr char32_t kReplacement = 0xFFFD;

using Kind = KeyingStep::Kind;

KeyingStep step(Kind kind) {
  KeyingStep made;
  made.kind = kind;
  return made;
}
KeyingStep play(Tone tone) {
  KeyingStep made = step(Kind::Play);
  made.tone = tone;
  return made;
}
KeyingStep show(char symbol) {
  KeyingStep made = step(Kind::Show);
  made.symbol = symbol;
  return made;
}
KeyingStep checkpoint() { return step(Kind::Checkpoint); }
KeyingStep marker(Kind kind, std::int32_t pass) {
  KeyingStep made = step(kind);
  made.pass = pass;
  return made;
}

// Code points that would show as nothing (or as a blank) between quotes.
bool isInvisible(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD || (c >= 0x2000 && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202F) || (c >= 0x205F && c <= 0x206F) || c == 0x3000 ||
         c == 0xFEFF || (c >= 0xD800 && c <= 0xDFFF) || c > kLastCodePoint;
}

void appendUtf8(std::string& out, char32_t c) {
  auto byte = [&out](char32_t bits) {
    out.push_back(static_cast<char>(static_cast<unsigned char>(bits)));
  };
  if (c < 0x80) {
    byte(c);
  } else if (c < 0x800) {
    byte(0xC0 | (c >> 6));
    byte(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    byte(0xE0 | (c >> 12));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  } else {
    byte(0xF0 | (c >> 18));
    byte(0x80 | ((c >> 12) & 0x3F));
    byte(0x80 | ((c >> 6) & 0x3F));
    byte(0x80 | (c & 0x3F));
  }
}

}  // namespace

KeyingSteps::KeyingSteps(const KeyingInput& input, Mode mode)
    : input_(input), CWcode(CWchars()), morseTiming_(hasMorseTiming(mode)) {
  planPass();
}

std::optional<KeyingStep> KeyingSteps::next() {
  while (head_ == queue_.size()) {
    if (done_) {
      return std::nullopt;
    }
    queue_.clear();
    head_ = 0;
    if (position_ < passLength_) {
      planCharacter();
    } else {
      planPassEnd();
    }
  }
  return queue_[head_++];
}

void KeyingSteps::planPass() {
  ++pass_;
  position_ = 0;
  // The window keeps the message within the limit; should a front end not, the rest waits for a
  // pass that can count it.
  passLength_ = static_cast<std::int16_t>(std::min(input_.messageLength(), kMaxMessageLength));
  push(marker(Kind::PassStart, pass_));
}

void KeyingSteps::planCharacter() {
  // A wider counter than the count, so that the last position 32767 does not wrap around.
  const std::int32_t position = ++position_;
  const auto index = static_cast<std::size_t>(position - 1);
  const bool present = index < input_.messageLength();
  const char32_t character = present ? input_.messageAt(index) : 0;
  const std::string_view pattern = present ? patternFor(CWcode, character) : std::string_view{};
  KeyingStep start = marker(Kind::CharacterStart, pass_);
  start.position = position;
  start.character = character;
  start.pattern = pattern;
  push(start);
  if (!present) {
    // The message was shortened during the pass: an empty character, which sends an idle symbol
    // of its own before the one every character ends with.
    push(show(kCharacterEnd));
    push(play(Tone::Idle));
  }
  for (const char element : pattern) {
    const bool dot = element == kDotElement;
    push(play(dot ? Tone::Dot : Tone::Dash));
    push(show(dot ? kDotSymbol : kDashSymbol));
    push(play(Tone::Gap));
    push(checkpoint());
  }
  if (pattern.empty()) {
    // No element gave the front end a chance to see Stop; give it here, where an element's would
    // have been, so that a pass of blanks can still be stopped.
    push(checkpoint());
  }
  push(show(kCharacterEnd));
  push(play(Tone::Idle));
  if (pattern.empty() && morseTiming_) {
    push(play(Tone::Idle));
  }
}

void KeyingSteps::planPassEnd() {
  if (!input_.loop()) {
    done_ = true;
    return;
  }
  if (passLength_ == 0) {
    // An empty message has no character at which Stop could be seen; without this a loop over it
    // could never be stopped.
    push(checkpoint());
  }
  push(marker(Kind::LoopIdle, pass_));
  push(play(Tone::Idle));
  if (morseTiming_) {
    push(play(Tone::Idle));
  }
  push(step(Kind::ClearDisplay));
  planPass();
}

std::string_view patternFor(const PatternTable& CWcode, char32_t c) {
  const char32_t upper = upperCase(c);
  return hasPattern(upper) ? CWcode[upper] : std::string_view{};
}

std::optional<MessageRefusal> checkMessage(std::u32string_view message) {
  MessageRefusal refusal;
  refusal.length = message.size();
  for (const char32_t c : message) {
    if (!hasPattern(c) && std::find(refusal.unkeyable.begin(), refusal.unkeyable.end(), c) ==
                              refusal.unkeyable.end()) {
      refusal.unkeyable.push_back(c);
    }
  }
  if (!refusal.tooLong() && refusal.unkeyable.empty()) {
    return std::nullopt;
  }
  return refusal;
}

std::string describeCharacter(char32_t c) {
  if (isInvisible(c)) {
    constexpr std::string_view kHexDigits = "0123456789ABCDEF";
    std::string hex;
    for (char32_t rest = c; rest != 0 || hex.size() < 4; rest >>= 4) {
      hex.insert(hex.begin(), kHexDigits[rest & 0xF]);
    }
    return "U+" + hex;
  }
  std::string text = "\"";
  appendUtf8(text, c);
  text += '"';
  return text;
}

std::string listCharacters(const std::vector<char32_t>& characters, std::size_t most) {
  std::string text;
  for (std::size_t i = 0; i < characters.size() && i < most; ++i) {
    if (i > 0) {
      text += ", ";
    }
    text += describeCharacter(characters[i]);
  }
  if (characters.size() > most) {
    text += " and " + std::to_string(characters.size() - most) + " more";
  }
  return text;
}

std::string toUtf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char32_t c : text) {
    appendUtf8(out, (c > kLastCodePoint || (c >= 0xD800 && c <= 0xDFFF)) ? kReplacement : c);
  }
  return out;
}

std::u32string fromUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      c = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, c = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, c = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, c = lead & 0x07, least = 0x10000;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    std::size_t k = 1;
    for (; k <= extra && i + k < text.size(); ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        break;
      }
      c = (c << 6) | (next & 0x3F);
    }
    if (k <= extra || c < least || c > kLastCodePoint || (c >= 0xD800 && c <= 0xDFFF)) {
      out.push_back(kReplacement);
      i += k;
      continue;
    }
    out.push_back(c);
    i += k;
  }
  return out;
}

}  // namespace bitoner
