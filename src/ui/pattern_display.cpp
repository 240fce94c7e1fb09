// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/pattern_display.h"

#include <QElapsedTimer>
#include <QLatin1StringView>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>

namespace bitoner {

PatternDisplay::PatternDisplay(QPlainTextEdit& display) : display_(display) {
  timer_.setSingleShot(true);
  timer_.setTimerType(Qt::CoarseTimer);
  QObject::connect(&timer_, &QTimer::timeout, &display_, [this] { flush(); });
}

void PatternDisplay::append(char symbol) { append(std::string_view(&symbol, 1)); }

void PatternDisplay::append(std::string_view symbols) {
  if (symbols.empty()) {
    return;
  }
  pending_ += QLatin1StringView(symbols.data(), static_cast<qsizetype>(symbols.size()));
  if (!batching_) {
    flush();
  } else if (!timer_.isActive()) {
    timer_.start(pause_);
  }
}

void PatternDisplay::clear() {
  pending_.clear();
  timer_.stop();
  display_.clear();
}

void PatternDisplay::setBatching(bool batching) {
  batching_ = batching;
  if (!batching_) {
    flush();
  }
}

void PatternDisplay::flush() {
  timer_.stop();
  if (pending_.isEmpty()) {
    return;
  }
  QElapsedTimer spent;
  spent.start();
  // Always at the end, wherever the operator left the caret, and kept in view.
  QTextCursor end(display_.document());
  end.movePosition(QTextCursor::End);
  end.insertText(pending_);
  pending_.clear();
  QScrollBar* bar = display_.verticalScrollBar();
  bar->setValue(bar->maximum());
  if (batching_) {
    // The next batch waits in proportion to what this one cost.
    const auto cost = std::chrono::milliseconds(spent.elapsed());
    pause_ = std::max<std::chrono::milliseconds>(kMinPause, kPauseFactor * cost);
  }
}

}  // namespace bitoner
