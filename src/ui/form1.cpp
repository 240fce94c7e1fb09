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
#include <QMetaObject>
#include <QPalette>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QRectF>
#include <QScrollBar>
#include <QString>
#include <QStringList>
#include <QTextCursor>
#include <QTextLayout>
#include <QTextOption>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "engine/run_plan.h"
#include "ui/message_edit.h"
#include "ui/pattern_display.h"

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

// Writing the tone files shows its progress once it has taken this long; shorter writes show
// nothing new.
constexpr qint64 kQuietWriteMs = 500;
// The progress bar's scale, and where it lies over the pattern display, which is empty meanwhile.
constexpr int kProgressSteps = 1000;
const QRect kProgressPlace(8, 220, 361, 19);
// Above the message box, where nothing else is.
const QRect kClosingNotePlace(8, 3, 361, 18);

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

// Why a run did not start or ended early, for the operator; nothing for a run that went as asked.
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

}  // namespace

Form1::Form1(SoundService& sound, EndProgram endProgram)
    : QWidget(nullptr),
      endProgram_(std::move(endProgram)),
      // Called on the worker: one posted call takes whatever progress has gathered by then.
      run_(sound, [this] {
        QMetaObject::invokeMethod(
            this, [this] { takeProgress(); }, Qt::QueuedConnection);
      }) {
  initResources();
  createControls();
  connectHandlers();
  Form_Load();
}

// A run still going (only where ending the program was replaced, as in tests) ends with the
// controller, before the widgets it reports to.
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
  TextIn = placed(new MessageEdit(this, [this](std::size_t dropped) { reportCut(dropped); }),
                  "TextIn", QRect(72, 24, 281, 25));
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
  pattern_ = std::make_unique<PatternDisplay>(*CodePatt);

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
  connect(TextIn, &QLineEdit::textChanged, this, [this](const QString& text) {
    message_ = text.toStdU32String();
    if (running()) {
      run_.setMessage(message_);
    }
  });
  message_ = TextIn->text().toStdU32String();
  connect(SymbLen, &QLineEdit::textChanged, this, [this] { SymbLen_Change(); });
  connect(Intgap, &QLineEdit::textChanged, this, [this] { Intgap_Change(); });
  connect(dB, &QLineEdit::textChanged, this, [this] { dB_Change(); });
  connect(IdleFreq, &QLineEdit::textChanged, this, [this] { IdleFreq_Change(); });
  connect(DotFreq, &QLineEdit::textChanged, this, [this] { DotFreq_Change(); });
  connect(DashFreq, &QLineEdit::textChanged, this, [this] { DashFreq_Change(); });
  connect(LoopCont, &QCheckBox::toggled, this, [this](bool checked) { run_.setLoop(checked); });
  connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(Stp, &QPushButton::clicked, this, [this] { Stp_Click(); });
}

void Form1::Form_Load() {
  params_.load([this](Box which, const std::string& text) { setBoxText(which, text); });
  Stp->hide();
}

void Form1::Form_Unload() { endProgram(); }

void Form1::endProgram() {
  if (std::exchange(ended_, true)) {
    return;
  }
  endProgram_(0);
  // Only reached where ending the program was replaced, as in tests: a run in progress must not
  // play any further all the same.
  run_.close();
  hide();
}

void Form1::closeEvent(QCloseEvent* event) {
  if (running() && !closing_) {
    // The window stays while the element on the air ends, so that nothing keys unseen.
    event->ignore();
    closing_ = true;
    run_.close();
    Stp->setEnabled(false);
    showClosing();
    return;
  }
  // Idle, or closed a second time: at once.
  event->accept();
  Form_Unload();
}

void Form1::showClosing() {
  if (closingNote_ == nullptr) {
    closingNote_ = makeLabel(this, "closingNote", QString(), kClosingNotePlace);
  }
  QString text = QStringLiteral("Closing once the element being sent has ended");
  if (const auto boundary = run_.nextBoundary()) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(std::max(
        *boundary - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero()));
    text += QStringLiteral(", at %1").arg(QTime::currentTime()
                                              .addSecs(static_cast<int>(left.count()))
                                              .toString(QStringLiteral("HH:mm:ss")));
  }
  closingNote_->setText(text + QStringLiteral(". Close again to end at once."));
  closingNote_->show();
}

void Form1::Command1_Click() {
  if (running()) {
    return;
  }
  BoxTexts texts;
  for (const auto& [which, defaultText] : kDefaultTexts) {
    texts[static_cast<std::size_t>(which)] = boxText(which);
  }
  auto prepared = prepareRun(texts, message_, invertChecked());
  if (auto* refusal = std::get_if<RunRefusal>(&prepared)) {
    setMessage(refusal->message);
    report(refusalText(refusal->reason));
    return;
  }
  RunPlan& plan = std::get<RunPlan>(prepared);
  setMessage(plan.message);
  if (plan.symbLenText) {
    setBoxText(Box::SymbLen, *plan.symbLenText);
  }
  clearPattern();
  // Stop takes GO's place before the tone files are written, so that the second click of a
  // double-click on GO lands on a Stop that does not take it yet.
  showKeying(true);
  closing_ = false;
  writing_.start();
  run_.start(RunRequest{.tones = plan.tones,
                        .message = std::move(plan.message),
                        .loop = loopChecked(),
                        .toneDirectory = std::filesystem::path(".")});
}

void Form1::Stp_Click() {
  if (!running()) {
    clearPattern();
    return;
  }
  if (stopShown_.elapsed() < QApplication::doubleClickInterval()) {
    return;  // the second click of a double-click on GO
  }
  run_.stop();
  refocusGo_ = Stp->hasFocus();
  Stp->setEnabled(false);  // seen; the run ends at the element boundary
}

void Form1::takeProgress() {
  const RunProgress progress = run_.takeProgress();
  if (progress.cleared) {
    clearPattern();
  }
  pattern_->append(progress.appended);
  if (progress.writing) {
    showWriting(progress.writing->first, progress.writing->second);
  }
  if (progress.writingDone) {
    writingDone();
  }
  if (progress.end) {
    runEnded(*progress.end);
  } else if (closing_) {
    showClosing();  // the element's end is known once keying has begun
  }
}

void Form1::showWriting(std::int64_t framesDone, std::int64_t framesTotal) {
  if (framesTotal <= 0 || writing_.elapsed() < kQuietWriteMs) {
    return;
  }
  if (writeProgress_ == nullptr) {
    writeProgress_ = new QProgressBar(this);
    writeProgress_->setObjectName(QStringLiteral("writeProgress"));
    writeProgress_->setGeometry(kProgressPlace);
    writeProgress_->setRange(0, kProgressSteps);
    writeProgress_->setFormat(QStringLiteral("Writing the tone files: %p%"));
    writeProgress_->setAlignment(Qt::AlignCenter);
  }
  writeProgress_->setValue(static_cast<int>(framesDone * kProgressSteps / framesTotal));
  writeProgress_->show();
}

void Form1::writingDone() {
  if (writeProgress_ != nullptr) {
    writeProgress_->hide();
  }
}

void Form1::runEnded(const RunEnd& end) {
  writingDone();
  showKeying(false);
  if (std::exchange(closing_, false)) {
    // Closed during the run: nobody is left to read a report.
    Form_Unload();
    emit runFinished();
    return;
  }
  if (const std::optional<std::string> failure = failureText(end)) {
    report(*failure);
  }
  emit runFinished();
}

// The handlers keep their names here, where the boxes' signals connect; the reading is shared.
void Form1::SymbLen_Change() { boxChanged(Box::SymbLen); }
void Form1::Intgap_Change() { boxChanged(Box::Intgap); }
void Form1::dB_Change() { boxChanged(Box::dB); }
void Form1::IdleFreq_Change() { boxChanged(Box::IdleFreq); }
void Form1::DotFreq_Change() { boxChanged(Box::DotFreq); }
void Form1::DashFreq_Change() { boxChanged(Box::DashFreq); }

void Form1::boxChanged(Box which) {
  params_.Box_Change(which, [this](Box other) { return boxText(other); });
  if (running()) {
    run_.end();  // the run keys what the boxes held at GO, so a change ends it
  }
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

std::u32string Form1::message() const { return message_; }

void Form1::reportCut(std::size_t dropped) {
  const std::string text = "The message box holds at most " + std::to_string(kMaxMessageLength) +
                           " characters: " + std::to_string(dropped) +
                           (dropped == 1 ? " character" : " characters") + " that did not fit " +
                           (dropped == 1 ? "was" : "were") + " left out; the rest was kept.";
  // Shown once the insertion is over, outside the drop or key handling that caused it.
  QTimer::singleShot(0, this, [this, text] { report(text); });
}

void Form1::setMessage(const std::u32string& text) {
  TextIn->setText(QString::fromStdU32String(text));
}

std::string Form1::boxText(Box which) const { return box(which)->text().toStdString(); }

void Form1::setBoxText(Box which, const std::string& text) {
  box(which)->setText(QString::fromStdString(text));
}

void Form1::clearPattern() { pattern_->clear(); }

void Form1::appendPattern(char symbol) { pattern_->append(symbol); }

bool Form1::loopChecked() const { return LoopCont->isChecked(); }

bool Form1::invertChecked() const { return InvertSB->isChecked(); }

void Form1::showKeying(bool keying) {
  // Whoever pressed GO from the keyboard can stop with the same key, and the reverse.
  const bool goHadFocus = Command1->hasFocus();
  const bool stopHadFocus = Stp->hasFocus() || std::exchange(refocusGo_, false);
  Stp->setEnabled(true);
  pattern_->setBatching(keying);
  Stp->setVisible(keying);
  Command1->setVisible(!keying);
  InvertSB->setEnabled(!keying);
  if (keying && goHadFocus) {
    Stp->setFocus(Qt::OtherFocusReason);
  } else if (!keying && stopHadFocus) {
    Command1->setFocus(Qt::OtherFocusReason);
  }
  if (keying) {
    stopShown_.start();
  }
}

void Form1::report(const std::string& text) {
  QMessageBox::warning(this, kCaption, QString::fromStdString(text));
}

}  // namespace bitoner
