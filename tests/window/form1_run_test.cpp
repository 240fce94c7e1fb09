// SPDX-License-Identifier: GPL-3.0-or-later
// Keying runs driven through the window as the operator drives them, with the real PulseAudio
// player on a private sound server. Short symbol lengths keep every run well under a second.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <QStyleHints>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/parameters.h"
#include "engine/tones.h"
#include "sound/null_player.h"
#include "support/temp_dir.h"
#include "ui/form1.h"
#include "window/window_support.h"

namespace bitoner {
namespace {

using testing::atNextEvents;
using testing::MessageBoxCatcher;
using testing::playOrder;
using testing::RecordingPlayer;
using testing::sharedPulse;

class KeyingThroughWindow : public testing::ShownWindow<RecordingPlayer> {
 protected:
  // Replaces a box's text by typing, as the operator would after selecting what was there.
  static void retype(QLineEdit* box, const QString& text) {
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
  }

  // Types the message, and a symbol length short enough to keep the run brief.
  void typeMessage(const QString& message, const QString& symbLen = "0.02") {
    retype(ui.TextIn, message);
    retype(ui.SymbLen, symbLen);
  }

  // Presses GO and lets the window run until the run has ended.
  void pressGo() {
    QTest::mouseClick(ui.Command1, Qt::LeftButton);
    waitForRunEnd();
  }

  // The state every run, complete or refused, ends in: GO back in its place, Invert I/Q usable.
  void expectIdle() {
    EXPECT_TRUE(ui.Command1->isVisible());
    EXPECT_FALSE(ui.Stp->isVisible());
    EXPECT_TRUE(ui.InvertSB->isEnabled());
    EXPECT_FALSE(form.running());
  }

  bool toneFileExists(std::string_view name) const {
    return std::filesystem::exists(workdir / name);
  }

  testing::TempWorkDir workdir;
  testing::PrivatePulse& pulse = sharedPulse();
};

TEST_F(KeyingThroughWindow, GoTurnsIntoStopWhileKeyingAndBackAfterwards) {
  typeMessage("te");

  // Stop shown, GO shown, Invert I/Q usable, the other controls usable; what is under the mouse
  // in the square GO and Stop share.
  std::vector<bool> during;
  QWidget* atButtonPlace = nullptr;
  player.beforePlay = [&](std::size_t playNumber) {
    if (playNumber == 1) {
      atNextEvents([&] {
        during = {ui.Stp->isVisible(), ui.Command1->isVisible(), ui.InvertSB->isEnabled(),
                  ui.TextIn->isEnabled() && ui.dB->isEnabled() && ui.SymbLen->isEnabled() &&
                      ui.LoopCont->isEnabled()};
        atButtonPlace = form.childAt(ui.Command1->geometry().center());
      });
    }
  };
  pressGo();
  EXPECT_EQ(during, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(atButtonPlace, ui.Stp) << "only Stop can be clicked in the shared square";

  EXPECT_EQ(ui.TextIn->text(), "TE");
  EXPECT_EQ(player.played, playOrder(U"TE"));
  EXPECT_EQ(ui.CodePatt->toPlainText(), "- . ");
  expectIdle();
}

// Stop, or a frequency typed in, ends the run after the element and its gap; only Stop clears the
// pattern.
TEST_F(KeyingThroughWindow, StopOrATypedFrequencyEndsTheRunAfterTheElementAndItsGap) {
  typeMessage("SOS");
  // Stop is clicked sooner after GO than a double-click's second click could be told from it.
  QStyleHints* hints = QGuiApplication::styleHints();
  const int doubleClickMs = hints->mouseDoubleClickInterval();
  hints->setMouseDoubleClickInterval(0);
  QTest::mouseClick(ui.LoopCont, Qt::LeftButton);  // would go on for ever without Stop
  ASSERT_TRUE(ui.LoopCont->isChecked());
  std::function<void()> interrupt = [this] { QTest::mouseClick(ui.Stp, Qt::LeftButton); };
  player.beforePlay = [&](std::size_t playNumber) {
    if (playNumber == 3) {  // the second dot of S
      atNextEvents(interrupt);
    }
  };
  const std::vector<std::string> twoDots{"dot.wav", "InterSymb.wav", "dot.wav", "InterSymb.wav"};
  pressGo();
  EXPECT_EQ(player.played, twoDots);
  EXPECT_EQ(ui.CodePatt->toPlainText(), "");
  expectIdle();

  interrupt = [this] { QTest::keyClicks(ui.DotFreq, "5"); };
  player.played.clear();
  pressGo();
  EXPECT_EQ(player.played, twoDots);
  EXPECT_EQ(ui.CodePatt->toPlainText(), "..");
  EXPECT_EQ(ui.DotFreq->text(), "10005");
  expectIdle();
  EXPECT_TRUE(endStatuses.empty());
  hints->setMouseDoubleClickInterval(doubleClickMs);
}

TEST_F(KeyingThroughWindow, SymbolLengthTypedInMillisecondsIsShownInSecondsAfterGo) {
  typeMessage("e", "250");
  pressGo();

  EXPECT_EQ(ui.SymbLen->text(), " .25");
  EXPECT_DOUBLE_EQ(probe.parameters().SymbolLength, 0.25);
  EXPECT_EQ(player.played, playOrder(U"E"));
  expectIdle();
}

TEST_F(KeyingThroughWindow, RefusalsAreShownAndNothingTypedIsLost) {
  MessageBoxCatcher boxes;

  retype(ui.TextIn, "ab[c");
  pressGo();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains("\"[\"")) << boxes.texts[0].toStdString();
  EXPECT_EQ(ui.TextIn->text(), "AB[C");
  EXPECT_TRUE(player.played.empty());
  EXPECT_FALSE(toneFileExists("Idle.wav"));
  expectIdle();

  retype(ui.TextIn, "abc");
  retype(ui.DotFreq, "1e400");
  pressGo();
  ASSERT_EQ(boxes.texts.size(), 2);
  EXPECT_TRUE(boxes.texts[1].contains("Dot.wav")) << boxes.texts[1].toStdString();
  EXPECT_EQ(ui.DotFreq->text(), "1e400");
  EXPECT_EQ(ui.TextIn->text(), "ABC");
  EXPECT_TRUE(player.played.empty());
  expectIdle();

  // Once mended, the same message keys.
  retype(ui.DotFreq, "1000");
  retype(ui.SymbLen, "0.02");
  pressGo();
  EXPECT_EQ(boxes.texts.size(), 2);
  EXPECT_EQ(player.played, playOrder(U"ABC"));
}

TEST_F(KeyingThroughWindow, ClosingDuringARunEndsTheProgramWithoutAnotherPlay) {
  typeMessage("paris");
  std::size_t playsWhenClosed = 0;
  onEnd = [&] { playsWhenClosed = player.played.size(); };
  player.beforePlay = [&](std::size_t playNumber) {
    if (playNumber == 5) {
      atNextEvents([&] { form.close(); });
    }
  };
  pressGo();

  EXPECT_EQ(endStatuses, std::vector<int>{0});
  EXPECT_EQ(playsWhenClosed, 6u) << "the close request waits for the element and its gap";
  EXPECT_EQ(player.played.size(), playsWhenClosed) << "nothing is played after the close";
  EXPECT_FALSE(form.isVisible());
}

// The operator's whole path: type a message, press GO, hear the tone files in Morse order as one
// continuous signal. The recording of the sound server's output is compared bit for bit.
TEST_F(KeyingThroughWindow, TypedMessageIsHeardAsTheToneFilesInOrderWithoutAGap) {
  typeMessage("Ok 73", "0.03");
  ui.Command1->setFocus();

  testing::MonitorRecorder recorder(pulse);
  QTest::keyClick(ui.Command1, Qt::Key_Space);  // GO from the keyboard this time
  waitForRunEnd();
  const std::vector<std::int16_t> recording = recorder.stop();

  const std::vector<std::string> order = playOrder(U"OK 73");
  ASSERT_EQ(player.played, order);
  EXPECT_EQ(ui.CodePatt->toPlainText(), "--- -.-  --... ...-- ");

  testing::expectRecorded(recording, testing::framesOf(order));
}

// The window's thread held still for 1.5 s in the middle of a Loop run, as a slow paint or a
// stalled compositor holds it: the signal goes on without a break, and the display catches up
// afterwards, in order.
TEST_F(KeyingThroughWindow, AStalledWindowBreaksNeitherTheSignalNorTheDisplayOrder) {
  typeMessage("paris", "0.05");
  QTest::mouseClick(ui.LoopCont, Qt::LeftButton);
  QStringList shown;
  QObject::connect(ui.CodePatt, &QPlainTextEdit::textChanged,
                   [&] { shown << ui.CodePatt->toPlainText(); });
  bool stalled = false;
  QTimer::singleShot(500, &form, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stalled = true;
    QTest::mouseClick(ui.LoopCont, Qt::LeftButton);  // the pass under way is the last
  });
  testing::MonitorRecorder recorder(pulse);
  pressGo();
  const std::vector<std::int16_t> recording = recorder.stop();

  ASSERT_TRUE(stalled);
  EXPECT_GT(player.played.size(), 2 * playOrder(U"PARIS").size()) << "keyed through the stall";
  testing::expectRecorded(recording, testing::framesOf(player.played));
  const QString pass = QStringLiteral(".--. .- .-. .. ... ");
  EXPECT_EQ(ui.CodePatt->toPlainText(), pass);
  for (const QString& text : shown) {
    EXPECT_TRUE(pass.startsWith(text)) << text.toStdString();
  }
}

// A run keyed with the null back end in real time, for elements longer than a test should wait on
// a sound server for.
using LongElementWindow = testing::ShownWindow<NullPlayer>;

// Closed during an element, the window stays, saying when the element ends, and the program ends
// once it has, with nothing played after it.
TEST_F(LongElementWindow, CloseDuringAnElementKeepsTheWindowUntilTheElementEnds) {
  ui.TextIn->setText("E");
  ui.SymbLen->setText("2");
  bool shownAtEnd = false;
  std::int64_t framesAtEnd = 0;
  onEnd = [&] {
    shownAtEnd = form.isVisible();
    framesAtEnd = player.framesPlayed();
  };
  QSignalSpy ended(&form, &Form1::runFinished);
  ui.Command1->click();
  QTest::qWait(300);  // into the dot
  form.close();

  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(ui.Stp->isEnabled());
  const auto* note = form.findChild<QLabel*>("closingNote");
  ASSERT_NE(note, nullptr);
  EXPECT_TRUE(note->isVisible());
  EXPECT_TRUE(note->text().contains(QRegularExpression(" at \\d\\d:\\d\\d:\\d\\d")))
      << note->text().toStdString();
  EXPECT_TRUE(endStatuses.empty());

  ASSERT_TRUE(ended.wait(10000));
  EXPECT_EQ(endStatuses, std::vector<int>{0});
  EXPECT_TRUE(shownAtEnd);
  EXPECT_EQ(framesAtEnd, 22050 + 2205) << "the dot and its gap, and nothing after them";
  EXPECT_FALSE(form.isVisible());
}

TEST_F(LongElementWindow, ASecondCloseEndsAtOnce) {
  ui.TextIn->setText("E");
  ui.SymbLen->setText("2");
  QSignalSpy ended(&form, &Form1::runFinished);
  ui.Command1->click();
  QTest::qWait(300);
  form.close();
  EXPECT_TRUE(endStatuses.empty());
  form.close();
  EXPECT_EQ(endStatuses, std::vector<int>{0});
  EXPECT_FALSE(form.isVisible());
  ASSERT_TRUE(ended.wait(10000));  // the run, cut short in tests only by ending the program
}

// Pictures of the window for the documentation and for looking at by eye; written beside the test
// executable, in the build tree.
TEST_F(KeyingThroughWindow, ScreenshotsAtStartAndDuringARun) {
  const QDir shots(QCoreApplication::applicationDirPath() + "/screenshots");
  ASSERT_TRUE(shots.mkpath("."));
  const QImage start = form.grab().toImage();
  QImage run;
  typeMessage("cq de bitoner");
  ui.Command1->setFocus();
  player.beforePlay = [&](std::size_t playNumber) {
    if (playNumber == 30) {
      atNextEvents([&] { run = form.grab().toImage(); });
    }
  };
  pressGo();

  EXPECT_EQ(run.size(), start.size());
  EXPECT_NE(start, run) << "the run shows Stop and a pattern";
  EXPECT_TRUE(start.save(shots.filePath("window-start.png")));
  EXPECT_TRUE(run.save(shots.filePath("window-run.png")));
}

}  // namespace
}  // namespace bitoner
