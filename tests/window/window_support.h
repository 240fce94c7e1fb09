// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QObject>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sound/pulse_player.h"
#include "sound/sound_service.h"
#include "support/played_names.h"
#include "support/pulse_daemon.h"
#include "ui/form1.h"
#include "window/window_probe.h"

namespace bitoner::testing {

// The real player, with a note of every name it was asked to play and a hook called before each
// play, so that a test can act at a known point of a run.
class RecordingPlayer : public SoundService {
 public:
  void open(std::shared_ptr<const ToneBank> tones) override { player_.open(std::move(tones)); }
  void play(Tone tone) override {
    played.emplace_back(playedName(tone));
    if (beforePlay) {
      beforePlay(played.size());
    }
    player_.play(tone);
  }
  void drain() override { player_.drain(); }

  std::vector<std::string> played;
  std::function<void(std::size_t playNumber)> beforePlay;

 private:
  PulsePlayer player_;
};

// Answers every message box the window opens, keeping its text. Message boxes run an event loop
// of their own, which is where the timer fires.
class MessageBoxCatcher {
 public:
  MessageBoxCatcher() {
    timer_.setInterval(kPollMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts.push_back(box->text());
        box->accept();
      }
    });
    timer_.start();
  }

  QStringList texts;

 private:
  static constexpr int kPollMs = 10;
  QTimer timer_;
};

// The main window shown and active, playing through a `Player`, with its controls, the statuses it
// asked to end the program with and a hook called when it does.
template <typename Player>
class ShownWindow : public ::testing::Test {
 protected:
  static constexpr int kRunTimeoutMs = 30000;

  ShownWindow()
      : form(player, [this](int status) {
          endStatuses.push_back(status);
          if (onEnd) {
            onEnd();
          }
        }) {}

  void SetUp() override {
    form.show();
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  }

  // Lets the window's event loop run until the run in progress, if any, has ended.
  void waitForRunEnd() {
    QSignalSpy ended(&form, &Form1::runFinished);
    if (form.running()) {
      ASSERT_TRUE(ended.wait(kRunTimeoutMs)) << "the run did not end";
    }
  }

  Player player;
  std::vector<int> endStatuses;
  std::function<void()> onEnd;
  Form1 form;
  WindowProbe probe{form};
  const Form1Controls& ui = probe.controls();
};

// One private sound server for this test process, started when first needed.
inline PrivatePulse& sharedPulse() {
  static PrivatePulse pulse;
  return pulse;
}

// Runs `action` on the window's thread as soon as its event loop gets to it. Called from the
// keying worker (before a play), the worker waits until the action has run, as if the operator
// acted while that tone was on its way: the run sees it at the next element boundary.
inline void atNextEvents(std::function<void()> action) {
  const bool onWindowThread = QThread::currentThread() == qApp->thread();
  QMetaObject::invokeMethod(qApp, std::move(action),
                            onWindowThread ? Qt::QueuedConnection : Qt::BlockingQueuedConnection);
}

}  // namespace bitoner::testing
