// SPDX-License-Identifier: GPL-3.0-or-later
// Messages at the message box's limit: text that does not fit is reported, and a long pass keeps
// the pattern display exact while it is updated in batches.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QString>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include "support/silent_sound.h"
#include "support/temp_dir.h"
#include "ui/form1.h"
#include "window/window_support.h"

namespace bitoner {
namespace {

using testing::MessageBoxCatcher;

constexpr int kBoxLimit = 32767;

class LongMessages : public testing::ShownWindow<testing::SilentSound> {
 protected:
  // Waits until the window has shown a message box, and returns its text.
  QString nextMessage() {
    for (int waited = 0; boxes.texts.isEmpty() && waited < 5000; waited += 10) {
      QTest::qWait(10);
    }
    return boxes.texts.isEmpty() ? QString() : boxes.texts.takeFirst();
  }

  testing::TempWorkDir workdir;
  MessageBoxCatcher boxes;
};

TEST_F(LongMessages, PastedOrDroppedTextBeyondTheLimitIsCutAndReported) {
  const QString pasted(40000, QLatin1Char('E'));
  const QString dropped = QString(kBoxLimit, QLatin1Char('T')) + QString::fromUtf8("\U0001F600");

  ui.TextIn->setText("AB");
  ui.TextIn->setFocus();
  ui.TextIn->setCursorPosition(1);
  QGuiApplication::clipboard()->setText(pasted);
  QTest::keyClick(ui.TextIn, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(ui.TextIn->text(), "A" + pasted.left(kBoxLimit - 2) + "B");
  EXPECT_TRUE(nextMessage().contains(" 7235 characters")) << "40000 - 32765";

  // Dropped text that does not fit at all, the last character two UTF-16 units long.
  ui.TextIn->setText("CD");
  QMimeData data;
  data.setText(dropped);
  const QPoint at(2, 2);
  QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(ui.TextIn, &enter);
  QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(ui.TextIn, &move);
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(ui.TextIn, &drop);
  EXPECT_EQ(ui.TextIn->text().size(), kBoxLimit);
  EXPECT_TRUE(ui.TextIn->text().contains("CD"));
  EXPECT_TRUE(nextMessage().contains(" 3 characters")) << "two T and the emoji";

  // What fits says nothing.
  ui.TextIn->setText("");
  QGuiApplication::clipboard()->setText("SOS");
  QTest::keyClick(ui.TextIn, Qt::Key_V, Qt::ControlModifier);
  QTest::qWait(50);
  EXPECT_EQ(ui.TextIn->text(), "SOS");
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join("|").toStdString();
}

// With no sound to wait for, a pass is only the window's work per character. The display must end
// exact, follow an edit made during the run, and not be laid out again for every symbol.
TEST_F(LongMessages, ALongPassShowsEveryPatternButUpdatesTheDisplayInBatches) {
  constexpr int kLength = 3000;
  ui.TextIn->setText(QString(kLength, QLatin1Char('E')));
  ui.SymbLen->setText("0");
  int changes = 0;
  QObject::connect(ui.CodePatt->document(), &QTextDocument::contentsChange,
                   [&changes] { ++changes; });
  bool edited = false;
  // The run reads each character when it comes to it: the last one, changed at the start, is
  // keyed as changed.
  QTimer::singleShot(0, [&] {
    ui.TextIn->end(false);
    ui.TextIn->backspace();
    ui.TextIn->insert("T");
    edited = true;
  });
  QSignalSpy ended(&form, &Form1::runFinished);
  ui.Command1->click();
  ASSERT_TRUE(ended.wait(60000)) << "the run did not end";

  ASSERT_TRUE(edited);
  QString expected;
  for (int k = 1; k < kLength; ++k) {
    expected += ". ";
  }
  EXPECT_EQ(ui.CodePatt->toPlainText(), expected + "- ");
  EXPECT_LT(changes, kLength / 10) << "symbols shown one change at a time";
  EXPECT_TRUE(boxes.texts.isEmpty());
}

}  // namespace
}  // namespace bitoner
