// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/sequencer.h"

#include <memory>
#include <optional>
#include <string>

#include "engine/tones.h"

namespace bitoner {

namespace {

// How many distinct unkeyable characters a refusal names before it only counts the rest.
constexpr std::size_t kMaxNamedCharacters = 10;

// The window itself as a run on its own thread sees it: events are processed at every checkpoint.
class WindowView : public KeyingView {
 public:
  explicit WindowView(KeyingWindow& window) : window_(window) {}
  std::size_t messageLength() const override { return window_.messageLength(); }
  char32_t messageAt(std::size_t index) const override { return window_.messageAt(index); }
  bool loop() const override { return window_.loopChecked(); }
  void clearPattern() override { window_.clearPattern(); }
  void appendPattern(char symbol) override { window_.appendPattern(symbol); }
  bool checkpoint() override {
    window_.processEvents();
    return window_.parameters().abort == kTrue;
  }

 private:
  KeyingWindow& window_;
};

// How much of the message a sound mixer is shown as the stream's name.
constexpr std::size_t kDescribedCharacters = 40;

std::string streamDescription(const std::u32string& message) {
  const bool cut = message.size() > kDescribedCharacters;
  return "Morse: " + toUtf8(std::u32string_view(message).substr(0, kDescribedCharacters)) +
         (cut ? "\u2026" : "");
}

std::string notRespondingText(const char* what, const SoundError& error) {
  return std::string(what) + ": " + error.what() +
         ". Check that the sound server is running, then press GO again.";
}

}  // namespace

std::string refusalText(const MessageRefusal& refusal) {
  if (refusal.tooLong()) {
    return "The message is too long to key: it has " + std::to_string(refusal.length) +
           " characters, and at most " + std::to_string(kMaxMessageLength) + " can be sent.";
  }
  const bool one = refusal.unkeyable.size() == 1;
  return std::string("The message cannot be keyed: it holds ") +
         (one ? "a character that has" : "characters that have") +
         " no Morse pattern: " + listCharacters(refusal.unkeyable, kMaxNamedCharacters) +
         ". Remove " + (one ? "it" : "them") + " and press GO again.";
}

std::optional<std::string> startTones(SoundService& sound, const ToneInputs& inputs,
                                      const ToneProgress& progress) {
  std::shared_ptr<const ToneBank> tones;
  try {
    MakeTones(inputs, ".", progress);
    tones = std::make_shared<const ToneBank>(inputs);
  } catch (const ToneCancelled&) {
    throw;  // given up on purpose: the caller decides what that means
  } catch (const ToneError& error) {
    return error.what();
  }
  try {
    sound.open(tones);
  } catch (const SoundServerNotResponding& error) {
    return notRespondingText("Keying did not start", error);
  } catch (const SoundError& error) {
    return std::string("Keying did not start: the sound output could not be opened (") +
           error.what() + ").";
  }
  return std::nullopt;
}

std::optional<std::string> keyMessage(KeyingView& view, SoundService& sound) {
  try {
    KeyingSteps steps(view);
    while (const std::optional<KeyingStep> step = steps.next()) {
      switch (step->kind) {
        case KeyingStep::Kind::Play:
          sound.play(step->tone);
          break;
        case KeyingStep::Kind::Show:
          view.appendPattern(step->symbol);
          break;
        case KeyingStep::Kind::ClearDisplay:
          view.clearPattern();
          break;
        case KeyingStep::Kind::Checkpoint:
          if (view.checkpoint()) {
            sound.drain();
            return std::nullopt;
          }
          break;
        case KeyingStep::Kind::PassStart:
        case KeyingStep::Kind::CharacterStart:
        case KeyingStep::Kind::LoopIdle:
          break;
      }
    }
    sound.drain();
  } catch (const SoundServerNotResponding& error) {
    return notRespondingText("Keying stopped", error);
  } catch (const SoundError& error) {
    return std::string("Keying stopped: the sound output was lost (") + error.what() + ").";
  }
  return std::nullopt;
}

Sequencer::Sequencer(KeyingWindow& window, SoundService& sound) : window_(window), sound_(sound) {}

void Sequencer::Command1_Click() {
  const std::optional<ToneInputs> inputs = prepare();
  if (!inputs) {
    return;
  }
  if (const auto failure = startTones(sound_, *inputs)) {
    startFailed(*failure);
    return;
  }
  window_.showKeying(true);
  WindowView view(window_);
  finish(keyMessage(view, sound_));
}

std::optional<ToneInputs> Sequencer::prepare() {
  KeyingParameters& params = window_.parameters();
  params.abort = kFalse;

  std::u32string message = window_.message();
  for (char32_t& c : message) {
    c = upperCase(c);
  }
  window_.setMessage(message);

  if (const auto refusal = checkMessage(message)) {
    window_.report(refusalText(*refusal));
    return std::nullopt;
  }

  if (const auto symbLenText = normalisedSymbLenText(params.SymbolLength)) {
    window_.setBoxText(Box::SymbLen, *symbLenText);  // re-derives the lengths, raises abort
    params.abort = kFalse;
  }
  window_.clearPattern();
  sound_.describe(streamDescription(message));

  return ToneInputs{
      .idleFreqText = window_.boxText(Box::IdleFreq),
      .dotFreqText = window_.boxText(Box::DotFreq),
      .dashFreqText = window_.boxText(Box::DashFreq),
      .Fsample = params.Fsample,
      .SymbolLength = params.SymbolLength,
      .InterSymbol = params.InterSymbol,
      .Ampl = params.Ampl,
      .invert = window_.invertChecked(),
  };
}

void Sequencer::startFailed(const std::string& failure) {
  window_.parameters().abort = kFalse;
  window_.report(failure);
}

void Sequencer::finish(const std::optional<std::string>& failure) {
  window_.parameters().abort = kFalse;
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
