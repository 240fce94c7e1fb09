// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/window_wording.h"

#include <string>

namespace bitoner {

QString windowCaption() { return QStringLiteral("Bitoner"); }

std::string refusalText(const MessageRefusal& refusal) {
  if (refusal.tooLong()) {
    return "The message is too long to key: it has " + std::to_string(refusal.length) +
           " characters, and at most " + std::to_string(kMaxMessageLength) + " can be sent.";
  }
  const bool one = refusal.unkeyable.size() == 1;
  return std::string("The message cannot be keyed: it holds ") +
         (one ? "a character that has" : "characters that have") +
         " no Morse pattern: " + listCharacters(refusal.unkeyable) + ". Remove " +
         (one ? "it" : "them") + " and press GO again.";
}

std::optional<std::string> failureText(const RunEnd& end) {
  switch (end.kind) {
    case RunEnd::Kind::Completed:
    case RunEnd::Kind::Ended:
    case RunEnd::Kind::Cancelled:
      return std::nullopt;
    case RunEnd::Kind::ToneFailed:
      return end.detail;
    case RunEnd::Kind::SoundFailed:
      break;
  }
  const char* what = end.keying ? "Keying stopped" : "Keying did not start";
  if (end.notResponding) {
    return std::string(what) + ": " + end.detail +
           ". Check that the sound server is running, then press GO again.";
  }
  return std::string(what) +
         (end.keying ? ": the sound output was lost ("
                     : ": the sound output could not be opened (") +
         end.detail + ").";
}

std::string cutText(std::size_t dropped) {
  return "The message box holds at most " + std::to_string(kMaxMessageLength) +
         " characters: " + std::to_string(dropped) + (dropped == 1 ? " character" : " characters") +
         " that did not fit " + (dropped == 1 ? "was" : "were") + " left out; the rest was kept.";
}

QString closingText(std::optional<QTime> endsAt) {
  QString text = QStringLiteral("Closing once the element being sent has ended");
  if (endsAt) {
    text += QStringLiteral(", at %1").arg(endsAt->toString(QStringLiteral("HH:mm:ss")));
  }
  return text + QStringLiteral(". Close again to end at once.");
}

QString writingProgressFormat() { return QStringLiteral("Writing the tone files: %p%"); }

}  // namespace bitoner
