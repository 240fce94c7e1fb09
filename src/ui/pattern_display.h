// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QTimer>
#include <chrono>
#include <string_view>

class QPlainTextEdit;

namespace bitoner {

// Appends the keyed symbols to the pattern display. The display is one paragraph, which the text
// engine lays out again in full after every change, so the cost of a change grows with the pattern.
// During a run the symbols are therefore collected and added in batches a few times a second, the
// pause between batches growing with the time one takes, so that the share of the window's time
// spent on the display stays small however long the pattern gets. The text shown is the same,
// symbol for symbol; only the moment a symbol appears may move by up to a pause.
class PatternDisplay {
 public:
  explicit PatternDisplay(QPlainTextEdit& display);

  void append(char symbol);
  void append(std::string_view symbols);
  void clear();

  // Batches symbols while a run is on; at its end everything collected is shown at once.
  void setBatching(bool batching);

  // Adds the collected symbols to the display now, keeping the latest in view.
  void flush();

 private:
  // The shortest pause between two batches, and the multiple of the last batch's own time that
  // the next pause lasts at least.
  static constexpr std::chrono::milliseconds kMinPause{50};
  static constexpr int kPauseFactor = 8;

  QPlainTextEdit& display_;
  QString pending_;
  QTimer timer_;
  std::chrono::milliseconds pause_ = kMinPause;
  bool batching_ = false;
};

}  // namespace bitoner
