// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QColor>
#include <QCoreApplication>
#include <QFont>
#include <QFontMetrics>
#include <QFontMetricsF>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRect>
#include <QRectF>
#include <QScrollBar>
#include <QString>
#include <QStringList>
#include <QTextCursor>
#include <QTextLayout>
#include <QTextOption>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

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

const QString kCaption = QStringLiteral("Bitoner");
const QString kIconResource = QStringLiteral(":/bitoner.png");

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

QFont displayFont(double points) {
  QFont font = fontFrom(kDisplayFontFamilies);
  font.setPointSizeF(points);
  return font;
}

// Names a new control and puts it in its fixed place.
template <typename Control>
Control* placed(Control* control, const char* name, QRect geometry) {
  control->setObjectName(QString::fromLatin1(name));
  control->setGeometry(geometry);
  return control;
}

QLabel* makeLabel(QWidget* parent, const char* name, const QString& caption, QRect geometry,
                  bool wraps = false) {
  auto* label = placed(new QLabel(parent), name, geometry);
  label->setTextFormat(Qt::PlainText);  // keeps the blanks of the captions as typed
  label->setText(caption);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(wraps);
  label->setAutoFillBackground(true);
  return label;
}

QLineEdit* makeBox(QWidget* parent, const char* name, QRect geometry) {
  return placed(new QLineEdit(parent), name, geometry);
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
  auto* button = placed(new QPushButton(caption, parent), name, geometry);
  button->setAutoDefault(false);
  return button;
}

QCheckBox* makeCheckBox(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
  auto* box = placed(new QCheckBox(caption, parent), name, geometry);
  box->setChecked(false);
  box->setAutoFillBackground(true);
  return box;
}

}  // namespace

Form1::Form1(SoundService& sound, EndProgram endProgram)
    : QWidget(nullptr), sequencer_(*this, sound), endProgram_(std::move(endProgram)) {
  initResources();
  createControls();
  connectHandlers();
  Form_Load();
}

Form1::~Form1() = default;

void Form1::endProcess(int status) {
  // Nothing is saved and no destructor needs to run; only what was printed is flushed.
  std::fflush(nullptr);
  std::_Exit(status);
}

void Form1::createControls() {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(kCaption);
  setWindowIcon(QIcon(kIconResource));
  setFixedSize(kClientWidthPx, kClientHeightPx);
  setFont(windowFont(kWindowFontPx));

  // Every control inherits the window's palette, so the one colour covers labels, boxes, check
  // boxes and buttons alike.
  QPalette palette = this->palette();
  for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button}) {
    palette.setColor(QPalette::All, role, kBackground);
  }
  setPalette(palette);
  setAutoFillBackground(true);

  Label4 = makeLabel(this, "Label4", QStringLiteral("Text"), QRect(24, 24, 41, 17));
  Label4->setFont(displayFont(kLabel4FontPt));
  TextIn = makeBox(this, "TextIn", QRect(72, 24, 281, 25));
  TextIn->setMaxLength(static_cast<int>(kMaxMessageLength));
  TextIn->setText(QStringLiteral("Edit for message"));

  Label1 = makeLabel(this, "Label1", QStringLiteral("Idle  Freq Hz"), QRect(8, 56, 65, 17));
  IdleFreq = makeBox(this, "IdleFreq", QRect(72, 56, 65, 19));
  Label5 =
      makeLabel(this, "Label5", QStringLiteral("Symb. Len seconds"), QRect(224, 56, 57, 25), true);
  SymbLen = makeBox(this, "SymbLen", QRect(288, 56, 65, 19));

  Label2 = makeLabel(this, "Label2", QStringLiteral("Dot      Hz"), QRect(8, 88, 57, 17));
  DotFreq = makeBox(this, "DotFreq", QRect(72, 88, 65, 19));
  Label6 = makeLabel(this, "Label6", QStringLiteral("Inter Symbol gap  %"), QRect(224, 88, 65, 33),
                     true);
  Intgap = makeBox(this, "Intgap", QRect(288, 88, 65, 19));

  Label3 = makeLabel(this, "Label3", QStringLiteral("Dash   Hz"), QRect(8, 120, 57, 17));
  DashFreq = makeBox(this, "DashFreq", QRect(72, 120, 65, 19));
  Amplitude =
      makeLabel(this, "Amplitude", QStringLiteral("Amplitude  dB"), QRect(224, 120, 49, 25), true);
  dB = makeBox(this, "dB", QRect(288, 120, 65, 19));

  // GO and Stop share one square; exactly one of them is shown.
  Command1 = makeButton(this, "Command1", QStringLiteral("GO"), QRect(168, 144, 41, 41));
  Stp = makeButton(this, "Stp", QStringLiteral("Stop"), QRect(168, 144, 41, 41));
  Stp->hide();

  LoopCont = makeCheckBox(this, "LoopCont", QStringLiteral("Loop"), QRect(32, 160, 57, 21));
  InvertSB = makeCheckBox(this, "InvertSB", QStringLiteral("Invert I/Q"), QRect(272, 160, 73, 17));

  CodePatt = new QPlainTextEdit(this);
  CodePatt->setObjectName(QStringLiteral("CodePatt"));
  CodePatt->setFont(displayFont(kCodePattFontPt));
  CodePatt->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  // A pattern longer than a line with no blank in it still wraps instead of scrolling sideways.
  CodePatt->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  CodePatt->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  CodePatt->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  CodePatt->setTabChangesFocus(true);
  CodePatt->setGeometry(QRect(8, 192, 361, 75));

  setTabOrder(Command1, TextIn);
  setTabOrder(TextIn, IdleFreq);
  setTabOrder(IdleFreq, DotFreq);
  setTabOrder(DotFreq, DashFreq);
  setTabOrder(DashFreq, SymbLen);
  setTabOrder(SymbLen, CodePatt);
  setTabOrder(CodePatt, Intgap);
  setTabOrder(Intgap, dB);
  setTabOrder(dB, Stp);
  setTabOrder(Stp, InvertSB);
  setTabOrder(InvertSB, LoopCont);
  Command1->setFocus(Qt::OtherFocusReason);

  // A wider stand-in for the narrow face shrinks until every caption fits.
  for (int pixels = kWindowFontPx - 1; pixels >= kSmallestWindowFontPx && !captionsFit(*this);
       --pixels) {
    setFont(windowFont(pixels));
  }
}

void Form1::connectHandlers() {
  // textChanged is emitted inside setText as well as for typing, so a handler has run before a
  // write by the program returns.
  connect(SymbLen, &QLineEdit::textChanged, this, [this] { SymbLen_Change(); });
  connect(Intgap, &QLineEdit::textChanged, this, [this] { Intgap_Change(); });
  connect(dB, &QLineEdit::textChanged, this, [this] { dB_Change(); });
  connect(IdleFreq, &QLineEdit::textChanged, this, [this] { IdleFreq_Change(); });
  connect(DotFreq, &QLineEdit::textChanged, this, [this] { DotFreq_Change(); });
  connect(DashFreq, &QLineEdit::textChanged, this, [this] { DashFreq_Change(); });
  connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(Stp, &QPushButton::clicked, this, [this] { Stp_Click(); });
}

void Form1::Form_Load() {
  // The pattern table was filled when the sequencer was made, before anything below.
  params_.load([this](Box which, const std::string& text) { setBoxText(which, text); });
  Stp->hide();
}

void Form1::Form_Unload() {
  endProgram_(0);
  // Only reached where ending the program was replaced, as in tests: a run in progress must not
  // play any further all the same.
  params_.abort = kTrue;
}

void Form1::closeEvent(QCloseEvent* event) {
  event->accept();
  Form_Unload();
}

void Form1::Command1_Click() {
  try {
    sequencer_.Command1_Click();
  } catch (const std::exception& error) {
    // The sequencer reports what it expects; anything else must not escape into Qt's event loop.
    params_.abort = kFalse;
    showKeying(false);
    report(error.what());
  }
}

void Form1::Stp_Click() { sequencer_.Stp_Click(); }

// The handlers keep their names here, where the boxes' signals connect; the reading is shared.
void Form1::SymbLen_Change() { boxChanged(Box::SymbLen); }
void Form1::Intgap_Change() { boxChanged(Box::Intgap); }
void Form1::dB_Change() { boxChanged(Box::dB); }
void Form1::IdleFreq_Change() { boxChanged(Box::IdleFreq); }
void Form1::DotFreq_Change() { boxChanged(Box::DotFreq); }
void Form1::DashFreq_Change() { boxChanged(Box::DashFreq); }

void Form1::boxChanged(Box which) {
  params_.Box_Change(which, [this](Box other) { return boxText(other); });
}

QLineEdit* Form1::box(Box which) const {
  switch (which) {
    case Box::IdleFreq:
      return IdleFreq;
    case Box::DotFreq:
      return DotFreq;
    case Box::DashFreq:
      return DashFreq;
    case Box::SymbLen:
      return SymbLen;
    case Box::Intgap:
      return Intgap;
    case Box::dB:
      return dB;
  }
  return nullptr;  // not reached: every Box is listed above
}

KeyingParameters& Form1::parameters() { return params_; }

std::u32string Form1::message() const { return TextIn->text().toStdU32String(); }

void Form1::setMessage(const std::u32string& text) {
  TextIn->setText(QString::fromStdU32String(text));
}

std::string Form1::boxText(Box which) const { return box(which)->text().toStdString(); }

void Form1::setBoxText(Box which, const std::string& text) {
  box(which)->setText(QString::fromStdString(text));
}

void Form1::clearPattern() { CodePatt->clear(); }

void Form1::appendPattern(char symbol) {
  // Always at the end, wherever the operator left the caret, and kept in view.
  QTextCursor end(CodePatt->document());
  end.movePosition(QTextCursor::End);
  end.insertText(QString(QLatin1Char(symbol)));
  QScrollBar* bar = CodePatt->verticalScrollBar();
  bar->setValue(bar->maximum());
}

bool Form1::loopChecked() const { return LoopCont->isChecked(); }

bool Form1::invertChecked() const { return InvertSB->isChecked(); }

void Form1::showKeying(bool keying) {
  // Whoever pressed GO from the keyboard can stop with the same key, and the reverse.
  const bool goHadFocus = Command1->hasFocus();
  const bool stopHadFocus = Stp->hasFocus();
  Stp->setVisible(keying);
  Command1->setVisible(!keying);
  InvertSB->setEnabled(!keying);
  if (keying && goHadFocus) {
    Stp->setFocus(Qt::OtherFocusReason);
  } else if (!keying && stopHadFocus) {
    Command1->setFocus(Qt::OtherFocusReason);
  }
}

void Form1::processEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void Form1::report(const std::string& text) {
  QMessageBox::warning(this, kCaption, QString::fromStdString(text));
}

}  // namespace bitoner
