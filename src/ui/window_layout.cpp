// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/window_layout.h"

#include <QCheckBox>
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QRectF>
#include <QString>
#include <QStringList>
#include <QTextLayout>
#include <QTextOption>
#include <QWidget>
#include <cstddef>
#include <iterator>
#include <utility>

#include "engine/keying_steps.h"
#include "ui/window_wording.h"

// The icon is compiled into this static library; naming its initialiser keeps the linker from
// dropping it.
static void initResources() { Q_INIT_RESOURCE(assets); }

namespace bitoner {

namespace {

// The client area, in pixels (5640 x 4080 twips at 15 twips per pixel).
constexpr int kClientWidthPx = 376;
constexpr int kClientHeightPx = 272;

// Light blue, on the window and on every control.
const QColor kBackground(192, 192, 255);

// The layout was drawn for a compact 8-point sans serif; a narrow face at this pixel size shows
// every caption whole inside its control. The later families stand in where it is not installed,
// at the largest size down to the smallest here at which every caption still fits.
constexpr int kWindowFontPx = 11;
constexpr int kSmallestWindowFontPx = 7;
const QStringList kWindowFontFamilies{"Liberation Sans Narrow", "Arial Narrow",
                                      "DejaVu Sans Condensed", "Sans Serif"};

// The face the message label and the pattern display ask for, and close sans serifs for systems
// without it.
const QStringList kDisplayFontFamilies{"MS Sans Serif", "Liberation Sans", "Arial", "DejaVu Sans",
                                       "Sans Serif"};
constexpr double kLabel4FontPt = 9.75;
constexpr double kCodePattFontPt = 13.5;

const QString kIconResource = QStringLiteral(":/bitoner.png");

// The write progress bar's scale, and where it lies over the pattern display.
constexpr int kProgressSteps = 1000;
const QRect kProgressPlace(8, 220, 361, 19);
// Above the message box, where nothing else is.
const QRect kClosingNotePlace(8, 3, 361, 18);

QFont fontFrom(const QStringList& families) {
  QFont font;
  font.setFamilies(families);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  return font;
}

QFont windowFont(int pixels) {
  QFont font = fontFrom(kWindowFontFamilies);
  font.setPixelSize(pixels);
  return font;
}

QFont displayFont(double points) {
  QFont font = fontFrom(kDisplayFontFamilies);
  font.setPointSizeF(points);
  return font;
}

// True when the ink of every line of the label's caption, laid out as the label wraps it, lies
// inside the label.
bool captionFits(const QLabel& label) {
  QTextLayout layout(label.text(), label.font());
  QTextOption option;
  option.setWrapMode(label.wordWrap() ? QTextOption::WordWrap : QTextOption::NoWrap);
  layout.setTextOption(option);
  const QFontMetricsF metrics(label.font());
  const QRectF inside(0, 0, label.width(), label.height());
  bool fits = true;
  qreal top = 0;
  layout.beginLayout();
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(label.width());
    const QString text = label.text().mid(line.textStart(), line.textLength()).trimmed();
    const QRectF ink = metrics.tightBoundingRect(text).translated(0, top + line.ascent());
    fits = fits && inside.contains(ink);
    top += line.height();
  }
  layout.endLayout();
  return fits;
}

// True when every caption in the window that uses the window's font is shown whole.
bool captionsFit(const QWidget& window) {
  for (const QLabel* label : window.findChildren<QLabel*>()) {
    if (!label->testAttribute(Qt::WA_SetFont) && !captionFits(*label)) {
      return false;
    }
  }
  for (const QCheckBox* box : window.findChildren<QCheckBox*>()) {
    if (box->sizeHint().width() > box->width()) {
      return false;
    }
  }
  for (const QPushButton* button : window.findChildren<QPushButton*>()) {
    // A caption on a button keeps a few pixels of its face clear on either side.
    if (QFontMetrics(button->font()).horizontalAdvance(button->text()) + 8 > button->width()) {
      return false;
    }
  }
  return true;
}

// Names a new control and puts it in its fixed place.
template <typename Control>
Control* placed(Control* control, const char* name, QRect geometry) {
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(geometry);
  return control;
}

QLabel* makeLabel(QWidget& parent, const char* name, const QString& caption, QRect geometry,
                  bool wraps = false) {
  auto* label = placed(new QLabel(&parent), name, geometry);
  label->setTextFormat(Qt::PlainText);  // keeps the blanks of the captions as typed
  label->setText(caption);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(wraps);
  label->setAutoFillBackground(true);
  return label;
}

QLineEdit* makeBox(QWidget& parent, const char* name, QRect geometry) {
  return placed(new QLineEdit(&parent), name, geometry);
}

QPushButton* makeButton(QWidget& parent, const char* name, const QString& caption, QRect geometry) {
  auto* button = placed(new QPushButton(caption, &parent), name, geometry);
  button->setAutoDefault(false);
  return button;
}

QCheckBox* makeCheckBox(QWidget& parent, const char* name, const QString& caption, QRect geometry) {
  auto* box = placed(new QCheckBox(caption, &parent), name, geometry);
  box->setChecked(false);
  box->setAutoFillBackground(true);
  return box;
}

QPlainTextEdit* makePatternDisplay(QWidget& parent) {
  auto* display = placed(new QPlainTextEdit(&parent), "CodePatt", QRect(8, 192, 361, 75));
  display->setFont(displayFont(kCodePattFontPt));
  display->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // A pattern longer than a line with no blank in it still wraps instead of scrolling sideways.
  display->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  display->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  display->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  display->setTabChangesFocus(true);
  return display;
}

// The window itself: title, icon, size and the colour every control inherits.
void setUpWindow(QWidget& window) {
  initResources();
  window.setObjectName(QStringLiteral("Form1"));
  window.setWindowTitle(windowCaption());
  window.setWindowIcon(QIcon(kIconResource));
  window.setFixedSize(kClientWidthPx, kClientHeightPx);
  window.setFont(windowFont(kWindowFontPx));

  // Every control inherits the window's palette, so the one colour covers labels, boxes, check
  // boxes and buttons alike.
  QPalette palette = window.palette();
  for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
    palette.setColor(QPalette::All, role, kBackground);
  }
  window.setPalette(palette);
  window.setAutoFillBackground(true);
}

// Tab walks from GO through the boxes and the pattern display to Stop and the check boxes.
void orderTabs(const Form1Controls& c) {
  QWidget* const order[] = {c.Command1, c.TextIn, c.IdleFreq, c.DotFreq, c.DashFreq, c.SymbLen,
                            c.CodePatt, c.Intgap, c.dB,       c.Stp,     c.InvertSB, c.LoopCont};
  for (std::size_t i = 1; i < std::size(order); ++i) {
    QWidget::setTabOrder(order[i - 1], order[i]);
  }
}

}  // namespace

Form1Controls layOutForm1(QWidget& window, MessageEdit::CutNotice onCut) {
  setUpWindow(window);
  Form1Controls c;

  c.Label4 = makeLabel(window, "Label4", QStringLiteral("Text"), QRect(24, 24, 41, 17));
  c.Label4->setFont(displayFont(kLabel4FontPt));
  c.TextIn = placed(new MessageEdit(&window, std::move(onCut)), "TextIn", QRect(72, 24, 281, 25));
  c.TextIn->setMaxLength(static_cast<int>(kMaxMessageLength));
  c.TextIn->setText(QStringLiteral("Edit for message"));

  c.Label1 = makeLabel(window, "Label1", QStringLiteral("Idle  Freq Hz"), QRect(8, 56, 65, 17));
  c.IdleFreq = makeBox(window, "IdleFreq", QRect(72, 56, 65, 19));
  c.Label5 = makeLabel(window, "Label5", QStringLiteral("Symb. Len seconds"),
                       QRect(224, 56, 57, 25), true);
  c.SymbLen = makeBox(window, "SymbLen", QRect(288, 56, 65, 19));

  c.Label2 = makeLabel(window, "Label2", QStringLiteral("Dot      Hz"), QRect(8, 88, 57, 17));
  c.DotFreq = makeBox(window, "DotFreq", QRect(72, 88, 65, 19));
  c.Label6 = makeLabel(window, "Label6", QStringLiteral("Inter Symbol gap  %"),
                       QRect(224, 88, 65, 33), true);
  c.Intgap = makeBox(window, "Intgap", QRect(288, 88, 65, 19));

  c.Label3 = makeLabel(window, "Label3", QStringLiteral("Dash   Hz"), QRect(8, 120, 57, 17));
  c.DashFreq = makeBox(window, "DashFreq", QRect(72, 120, 65, 19));
  c.Amplitude = makeLabel(window, "Amplitude", QStringLiteral("Amplitude  dB"),
                          QRect(224, 120, 49, 25), true);
  c.dB = makeBox(window, "dB", QRect(288, 120, 65, 19));

  // GO and Stop share one square; exactly one of them is shown.
  c.Command1 = makeButton(window, "Command1", QStringLiteral("GO"), QRect(168, 144, 41, 41));
  c.Stp = makeButton(window, "Stp", QStringLiteral("Stop"), QRect(168, 144, 41, 41));
  c.Stp->hide();

  c.LoopCont = makeCheckBox(window, "LoopCont", QStringLiteral("Loop"), QRect(32, 160, 57, 21));
  c.InvertSB =
      makeCheckBox(window, "InvertSB", QStringLiteral("Invert I/Q"), QRect(272, 160, 73, 17));

  c.CodePatt = makePatternDisplay(window);

  orderTabs(c);
  c.Command1->setFocus(Qt::OtherFocusReason);

  // A wider stand-in for the narrow face shrinks until every caption fits.
  for (int pixels = kWindowFontPx - 1; pixels >= kSmallestWindowFontPx && !captionsFit(window);
       --pixels) {
    window.setFont(windowFont(pixels));
  }
  return c;
}

QProgressBar* makeWriteProgress(QWidget& window) {
  auto* bar = placed(new QProgressBar(&window), "writeProgress", kProgressPlace);
  bar->setRange(0, kProgressSteps);
  bar->setFormat(writingProgressFormat());
  bar->setAlignment(Qt::AlignCenter);
  return bar;
}

QLabel* makeClosingNote(QWidget& window) {
  return makeLabel(window, "closingNote", QString(), kClosingNotePlace);
}

}  // namespace bitoner
