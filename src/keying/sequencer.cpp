#include "keying/sequencer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tones/tones.h"

namespace bitoner {

namespace {

// The position counter is a signed 16-bit count, so no longer message can be keyed.
constexpr std::size_t kMaxMessageLength = 32767;
// How many distinct unkeyable characters a refusal names before it only counts the rest.
constexpr std::size_t kMaxNamedCharacters = 10;

// The names the sound service is asked for; it matches them to the written tone files without
// regard to letter case.
constexpr std::string_view kDotFile = "dot.wav";
constexpr std::string_view kDashFile = "dash.wav";
constexpr std::string_view kGapFile = "InterSymb.wav";
constexpr std::string_view kIdleFile = "idle.wav";

constexpr char kDotSymbol = '.';
constexpr char kDashSymbol = '-';
constexpr char kCharacterEnd = ' ';
constexpr char kDotElement = '0';

constexpr char32_t kLastCodePoint = 0x10FFFF;

char32_t upperCase(char32_t c) { return (c >= U'a' && c <= U'z') ? c - (U'a' - U'A') : c; }

bool hasPattern(char32_t c) { return c < static_cast<char32_t>(kPatternCodes); }

// Code points that would show as nothing (or as a blank) between quotes in a message box.
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

// A character as the operator can recognise it: quoted, or by its code point if it is invisible.
std::string describe(char32_t c) {
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

// The refusal for a message that holds characters without a pattern, naming them in the order
// they first appear; nothing when every character can be keyed.
std::optional<std::string> unkeyableCharacters(const std::u32string& message) {
  std::vector<char32_t> found;
  for (char32_t c : message) {
    if (!hasPattern(c) && std::find(found.begin(), found.end(), c) == found.end()) {
      found.push_back(c);
    }
  }
  if (found.empty()) {
    return std::nullopt;
  }
  std::string text = found.size() == 1
                         ? "The message cannot be keyed: it holds a character that has no Morse "
                           "pattern: "
                         : "The message cannot be keyed: it holds characters that have no Morse "
                           "pattern: ";
  for (std::size_t i = 0; i < found.size() && i < kMaxNamedCharacters; ++i) {
    if (i > 0) {
      text += ", ";
    }
    text += describe(found[i]);
  }
  if (found.size() > kMaxNamedCharacters) {
    text += " and " + std::to_string(found.size() - kMaxNamedCharacters) + " more";
  }
  text += ". Remove ";
  text += found.size() == 1 ? "it" : "them";
  text += " and press GO again.";
  return text;
}

// One keying run, from the first pass until it ends by completion or abort. A SoundError from the
// sound service passes through to the caller.
class Run {
 public:
  Run(KeyingWindow& window, SoundService& sound, const PatternTable& CWcode)
      : window_(window), sound_(sound), CWcode_(CWcode) {}

  void keyPasses() {
    for (;;) {
      const std::int16_t n = passLength();
      // A wider counter than the count, so that the last position 32767 does not wrap around.
      for (std::int32_t i = 1; i <= n; ++i) {
        if (!keyCharacter(i)) {
          return;
        }
      }
      if (!window_.loopChecked()) {
        return;
      }
      if (n == 0) {
        // An empty message has no character at which Stop could be seen; without this a loop over
        // it could never be stopped.
        window_.processEvents();
        if (aborted()) {
          return;
        }
      }
      play(kIdleFile);
      window_.clearPattern();
    }
  }

 private:
  std::int16_t passLength() const {
    // The window keeps the message within the limit; should it not, the rest waits for a pass
    // that can count it.
    const std::size_t length = window_.message().size();
    return static_cast<std::int16_t>(length < kMaxMessageLength ? length : kMaxMessageLength);
  }

  // Keys the character at the 1-based position of the message as it reads now; false when the
  // run has been aborted.
  bool keyCharacter(std::int32_t position) {
    const std::u32string text = window_.message();
    const auto index = static_cast<std::size_t>(position - 1);
    std::string_view pattern;
    if (index >= text.size()) {
      // The message was shortened during the pass: an empty character, which sends an idle
      // symbol of its own before the one every character ends with.
      window_.appendPattern(kCharacterEnd);
      play(kIdleFile);
    } else {
      pattern = patternFor(text[index]);
    }

    for (char element : pattern) {
      const bool dot = element == kDotElement;
      play(dot ? kDotFile : kDashFile);
      window_.appendPattern(dot ? kDotSymbol : kDashSymbol);
      play(kGapFile);
      window_.processEvents();
      if (aborted()) {
        return false;
      }
    }
    if (pattern.empty()) {
      // No element gave the window a chance to run Stop or a parameter change; give it here, at
      // the same point an element's would have, so that a pass of blanks can still be stopped.
      window_.processEvents();
    }
    if (aborted()) {
      return false;
    }
    window_.appendPattern(kCharacterEnd);
    play(kIdleFile);
    return true;
  }

  // Lower-case letters typed in during a run are keyed as their capitals; any other character
  // without an entry is keyed like an empty pattern.
  std::string_view patternFor(char32_t c) const {
    const char32_t upper = upperCase(c);
    return hasPattern(upper) ? CWcode_[upper] : std::string_view{};
  }

  bool aborted() { return window_.parameters().abort == kTrue; }

  // A file that could not be read is skipped by the service; the run goes on.
  void play(std::string_view name) { sound_.play(std::string(name)); }

  KeyingWindow& window_;
  SoundService& sound_;
  const PatternTable& CWcode_;
};

}  // namespace

Sequencer::Sequencer(KeyingWindow& window, SoundService& sound)
    : window_(window), sound_(sound), CWcode(CWchars()) {}

void Sequencer::Command1_Click() {
  KeyingParameters& params = window_.parameters();
  params.abort = kFalse;

  std::u32string message = window_.message();
  for (char32_t& c : message) {
    c = upperCase(c);
  }
  window_.setMessage(message);

  if (message.size() > kMaxMessageLength) {
    window_.report("The message is too long to key: it has " + std::to_string(message.size()) +
                   " characters, and at most " + std::to_string(kMaxMessageLength) +
                   " can be sent.");
    return;
  }
  if (const auto refusal = unkeyableCharacters(message)) {
    window_.report(*refusal);
    return;
  }

  if (const auto symbLenText = normalisedSymbLenText(params.SymbolLength)) {
    window_.setBoxText(Box::SymbLen, *symbLenText);  // re-derives the lengths, raises abort
    params.abort = kFalse;
  }
  window_.clearPattern();

  try {
    MakeTones(
        ToneInputs{
            .idleFreqText = window_.boxText(Box::IdleFreq),
            .dotFreqText = window_.boxText(Box::DotFreq),
            .dashFreqText = window_.boxText(Box::DashFreq),
            .Fsample = params.Fsample,
            .SymbolLength = params.SymbolLength,
            .InterSymbol = params.InterSymbol,
            .Ampl = params.Ampl,
            .invert = window_.invertChecked(),
        },
        ".");
  } catch (const ToneError& error) {
    params.abort = kFalse;
    window_.report(error.what());
    return;
  }
  try {
    sound_.open();
  } catch (const SoundError& error) {
    params.abort = kFalse;
    window_.report(std::string("Keying did not start: the sound output could not be opened (") +
                   error.what() + ").");
    return;
  }

  window_.showKeying(true);
  std::optional<std::string> failure;
  try {
    Run(window_, sound_, CWcode).keyPasses();
    sound_.drain();  // so that the last idle symbol is heard in full before GO comes back
  } catch (const SoundError& error) {
    failure = std::string("Keying stopped: the sound output was lost (") + error.what() + ").";
  }
  params.abort = kFalse;
  window_.showKeying(false);
  if (failure) {
    window_.report(*failure);
  }
}

void Sequencer::Stp_Click() {
  window_.parameters().abort = kTrue;
  window_.clearPattern();
}

}  // namespace bitoner
