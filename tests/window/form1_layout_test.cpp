// SPDX-License-Identifier: GPL-3.0-or-later
// The window as the operator first sees it: layout, captions, colours, fonts, tab order and the
// state after start-up. Nothing here plays a sound.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRect>
#include <QScrollBar>
#include <QStyle>
#include <QTest>
#include <QTextLayout>
#include <QTextOption>
#include <QWidget>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "engine/parameters.h"
#include "sound/pulse_player.h"
#include "ui/form1.h"
#include "window/window_support.h"

namespace bitoner {
namespace {

struct ControlSpec {
  const char* name;
  const char* className;
  const char* caption;  // the caption, or the text a box shows after the load
  QRect geometry;
};

// Every control with its class, caption and place in pixels.
const std::vector<ControlSpec> kControls{
    {"Label4", "QLabel", "Text", QRect(24, 24, 41, 17)},
    {"TextIn", "QLineEdit", "Edit for message", QRect(72, 24, 281, 25)},
    {"Label1", "QLabel", "Idle  Freq Hz", QRect(8, 56, 65, 17)},
    {"IdleFreq", "QLineEdit", "600", QRect(72, 56, 65, 19)},
    {"Label5", "QLabel", "Symb. Len seconds", QRect(224, 56, 57, 25)},
    {"SymbLen", "QLineEdit", "0.5", QRect(288, 56, 65, 19)},
    {"Label2", "QLabel", "Dot      Hz", QRect(8, 88, 57, 17)},
    {"DotFreq", "QLineEdit", "1000", QRect(72, 88, 65, 19)},
    {"Label6", "QLabel", "Inter Symbol gap  %", QRect(224, 88, 65, 33)},
    {"Intgap", "QLineEdit", "10", QRect(288, 88, 65, 19)},
    {"Label3", "QLabel", "Dash   Hz", QRect(8, 120, 57, 17)},
    {"DashFreq", "QLineEdit", "1200", QRect(72, 120, 65, 19)},
    {"Amplitude", "QLabel", "Amplitude  dB", QRect(224, 120, 49, 25)},
    {"dB", "QLineEdit", "-10", QRect(288, 120, 65, 19)},
    {"Command1", "QPushButton", "GO", QRect(168, 144, 41, 41)},
    {"Stp", "QPushButton", "Stop", QRect(168, 144, 41, 41)},
    {"LoopCont", "QCheckBox", "Loop", QRect(32, 160, 57, 21)},
    {"InvertSB", "QCheckBox", "Invert I/Q", QRect(272, 160, 73, 17)},
    {"CodePatt", "QPlainTextEdit", "", QRect(8, 192, 361, 75)},
};

// What a control shows: a label's or button's caption, a box's text.
QString shownText(const QWidget* widget) {
  return widget->property(qobject_cast<const QPlainTextEdit*>(widget) ? "plainText" : "text")
      .toString();
}

const QColor kLightBlue(192, 192, 255);

// Where the glyphs of `caption` fall when it is laid out word-wrapped in `width` pixels, one
// rectangle per line, relative to the top left of the text.
std::vector<QRectF> captionInk(const QString& caption, const QFont& font, int width) {
  QTextLayout layout(caption, font);
  QTextOption option;
  option.setWrapMode(QTextOption::WordWrap);
  layout.setTextOption(option);
  const QFontMetricsF metrics(font);
  std::vector<QRectF> lines;
  qreal y = 0;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(width);
    const QString text = caption.mid(line.textStart(), line.textLength());
    const QRectF ink = metrics.tightBoundingRect(text.trimmed());
    lines.push_back(ink.translated(0, y + line.ascent()));
    y += line.height();
  }
  layout.endLayout();
  return lines;
}

// The player is never asked to play here, so it never connects.
class WindowLayout : public testing::ShownWindow<PulsePlayer> {
 protected:
  QWidget* control(const char* name) { return form.findChild<QWidget*>(QString::fromLatin1(name)); }
};

TEST_F(WindowLayout, EveryControlHasItsNameKindCaptionAndPlaceAndStartsIdle) {
  EXPECT_EQ(form.windowTitle(), "Bitoner");
  EXPECT_EQ(form.size(), QSize(376, 272));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "the window has a fixed size";
  const QIcon icon = form.windowIcon();
  ASSERT_FALSE(icon.isNull());
  EXPECT_EQ(icon.pixmap(32, 32).size(), QSize(32, 32));

  for (const ControlSpec& expected : kControls) {
    SCOPED_TRACE(expected.name);
    QWidget* widget = control(expected.name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->parentWidget(), &form);
    EXPECT_EQ(widget->geometry(), expected.geometry);
    EXPECT_STREQ(widget->metaObject()->className(), expected.className);
    EXPECT_EQ(shownText(widget), QString::fromLatin1(expected.caption));
  }

  EXPECT_EQ(ui.TextIn->maxLength(), 32767);
  EXPECT_TRUE(ui.Command1->isVisible());
  EXPECT_FALSE(ui.Stp->isVisible());
  EXPECT_TRUE(ui.InvertSB->isEnabled());
  EXPECT_FALSE(ui.InvertSB->isChecked());
  EXPECT_FALSE(ui.LoopCont->isChecked());
}

TEST_F(WindowLayout, EveryCaptionFitsItsControl) {
  for (const ControlSpec& expected : kControls) {
    SCOPED_TRACE(expected.name);
    QWidget* widget = control(expected.name);
    const QFontMetrics metrics(widget->font());
    const QString caption = QString::fromLatin1(expected.caption);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      const QString name = label->objectName();
      const bool wraps = name == "Label5" || name == "Label6" || name == "Amplitude";
      EXPECT_EQ(label->wordWrap(), wraps);
      const std::vector<QRectF> ink = captionInk(caption, label->font(), label->width());
      EXPECT_EQ(ink.size(), wraps ? 2u : 1u) << "lines";
      for (const QRectF& line : ink) {
        EXPECT_GE(line.left(), 0.0);
        EXPECT_LE(line.right(), label->width());
        EXPECT_GE(line.top(), 0.0);
        EXPECT_LE(line.bottom(), label->height());
      }
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      // The text area of a check box starts after its square; a button keeps a small margin.
      const QSize hint = button->sizeHint();
      if (qobject_cast<QCheckBox*>(button) != nullptr) {
        EXPECT_LE(hint.width(), button->width());
        EXPECT_LE(button->style()->pixelMetric(QStyle::PM_IndicatorHeight), button->height());
        EXPECT_LE(metrics.height(), button->height());
      } else {
        EXPECT_LE(metrics.horizontalAdvance(caption) + 8, button->width());
      }
    } else if (auto* box = qobject_cast<QLineEdit*>(widget)) {
      EXPECT_LE(metrics.horizontalAdvance(box->text()), box->width() - 6);
      EXPECT_LE(metrics.height(), box->height() - 4);
    }
  }
}

// Also run with fontconfig hiding the narrow faces (BITONER_HIDDEN_FONT names the window's own):
// the captions above are then measured in the stand-in the window chose.
TEST_F(WindowLayout, HiddenNarrowFontIsStoodInFor) {
  const QString hidden = qEnvironmentVariable("BITONER_HIDDEN_FONT");
  if (hidden.isEmpty()) {
    GTEST_SKIP() << "every font of the machine is visible in this run";
  }
  const QFontInfo shown(form.font());
  std::printf("window font: %s, %d px\n", qPrintable(shown.family()), shown.pixelSize());
  EXPECT_NE(shown.family(), hidden);
}

TEST_F(WindowLayout, MessageLabelAndPatternDisplayUseTheirOwnFonts) {
  const QFont windowFont = form.font();
  EXPECT_LE(QFontInfo(windowFont).pixelSize(), 12) << "a compact default font";
  EXPECT_EQ(ui.Label4->font().pointSizeF(), 9.75);
  EXPECT_EQ(ui.CodePatt->font().pointSizeF(), 13.5);
  EXPECT_EQ(ui.Label4->font().weight(), QFont::Normal);
  EXPECT_EQ(ui.CodePatt->font().weight(), QFont::Normal);
  EXPECT_EQ(ui.Label1->font(), windowFont);
  EXPECT_EQ(ui.TextIn->font(), windowFont);
  EXPECT_EQ(ui.Command1->font(), windowFont);
}

TEST_F(WindowLayout, WindowAndEveryControlAreLightBlue) {
  EXPECT_EQ(form.palette().color(form.backgroundRole()), kLightBlue);
  // What is drawn: the window, and a spot inside each label, box and check box away from text.
  const QImage image = form.grab().toImage();
  EXPECT_EQ(image.pixelColor(2, 2), kLightBlue);
  EXPECT_EQ(image.pixelColor(200, 120), kLightBlue);
  for (const ControlSpec& expected : kControls) {
    SCOPED_TRACE(expected.name);
    QWidget* widget = control(expected.name);
    EXPECT_EQ(widget->palette().color(widget->backgroundRole()), kLightBlue);
    const std::string className = expected.className;
    const QRect& r = expected.geometry;
    const QPoint inside = className == "QPlainTextEdit" ? QPoint(r.left() + 20, r.bottom() - 6)
                                                        : QPoint(r.right() - 4, r.bottom() - 4);
    if (className != "QPushButton") {  // a button may show the ordinary button face
      EXPECT_EQ(image.pixelColor(inside), kLightBlue);
    }
  }
}

TEST_F(WindowLayout, TabWalksTheControlsInOrderFromGo) {
  ASSERT_EQ(QApplication::focusWidget(), ui.Command1) << "GO has the focus at first show";
  const std::vector<QWidget*> expected{ui.TextIn,   ui.IdleFreq, ui.DotFreq, ui.DashFreq,
                                       ui.SymbLen,  ui.CodePatt, ui.Intgap,  ui.dB,
                                       ui.InvertSB, ui.LoopCont, ui.Command1};
  for (QWidget* next : expected) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }

  // While keying, Stop stands in GO's place and takes its turn between dB and Invert I/Q.
  probe.showKeying(true);
  ui.dB->setFocus();
  QTest::keyClick(ui.dB, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), ui.Stp);
  probe.showKeying(false);
}

TEST_F(WindowLayout, TypingIntoABoxRunsItsHandlerAtOnce) {
  const std::pair<QLineEdit*, const char*> typed[] = {{ui.IdleFreq, "700"},  {ui.DotFreq, "900"},
                                                      {ui.DashFreq, "1300"}, {ui.SymbLen, "0.2"},
                                                      {ui.Intgap, "20"},     {ui.dB, "20"}};
  for (const auto& [box, text] : typed) {
    box->selectAll();
    QTest::keyClicks(box, text);
  }
  EXPECT_DOUBLE_EQ(probe.parameters().SymbolLength, 0.2);
  EXPECT_DOUBLE_EQ(probe.parameters().InterSymbol, 20.0 / 100 * 0.2);
  EXPECT_DOUBLE_EQ(probe.parameters().Ampl, 3270.0);

  // A write by the program runs the handler before it returns, as the normalisation needs.
  ui.SymbLen->setText(" .25");
  EXPECT_DOUBLE_EQ(probe.parameters().SymbolLength, 0.25);
}

TEST_F(WindowLayout, PatternDisplayWrapsAndScrollsVertically) {
  for (int i = 0; i < 400; ++i) {
    probe.appendPattern(i % 7 == 6 ? ' ' : (i % 2 == 0 ? '.' : '-'));
  }
  EXPECT_EQ(ui.CodePatt->toPlainText().size(), 400);
  EXPECT_EQ(ui.CodePatt->document()->blockCount(), 1) << "appending adds no line breaks";
  EXPECT_GT(ui.CodePatt->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(ui.CodePatt->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(ui.CodePatt->verticalScrollBar()->value(), ui.CodePatt->verticalScrollBar()->maximum())
      << "the latest symbols are in view";

  probe.clearPattern();
  EXPECT_EQ(ui.CodePatt->toPlainText(), "");
}

TEST_F(WindowLayout, ClosingWhileIdleEndsTheProgramWithStatusZero) {
  EXPECT_TRUE(form.close());
  EXPECT_EQ(endStatuses, std::vector<int>{0});
}

}  // namespace
}  // namespace bitoner
