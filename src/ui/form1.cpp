// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/form1.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTime>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "engine/run_plan.h"
#include "ui/pattern_display.h"
#include "ui/window_wording.h"

namespace bitoner {

// Writing the tone files shows its progress once it has taken this long; shorter writes show
// nothing new.
constexpr qint64 kQuietWriteMs = 500;

Form1::Form1(SoundService& sound, EndProgram endProgram)
    : QWidget(nullptr),
      endProgram_(std::move(endProgram)),
      // Called on the worker: one posted call takes whatever progress has gathered by then.
      run_(sound, [this] {
        QMetaObject::invokeMethod(
            this, [this] { takeProgress(); }, Qt::QueuedConnection);
      }) {
  controls_ = layOutForm1(*this, [this](std::size_t dropped) { reportCut(dropped); });
  pattern_ = std::make_unique<PatternDisplay>(*controls_.CodePatt);
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

void Form1::connectHandlers() {
  // textChanged is emitted inside setText as well as for typing, so a handler has run before a
  // write by the program returns.
  connect(controls_.TextIn, &QLineEdit::textChanged, this, [this](const QString& text) {
    message_ = text.toStdU32String();
    if (running()) {
      run_.setMessage(message_);
    }
  });
  message_ = controls_.TextIn->text().toStdU32String();
  connect(controls_.SymbLen, &QLineEdit::textChanged, this, [this] { SymbLen_Change(); });
  connect(controls_.Intgap, &QLineEdit::textChanged, this, [this] { Intgap_Change(); });
  connect(controls_.dB, &QLineEdit::textChanged, this, [this] { dB_Change(); });
  connect(controls_.IdleFreq, &QLineEdit::textChanged, this, [this] { IdleFreq_Change(); });
  connect(controls_.DotFreq, &QLineEdit::textChanged, this, [this] { DotFreq_Change(); });
  connect(controls_.DashFreq, &QLineEdit::textChanged, this, [this] { DashFreq_Change(); });
  connect(controls_.LoopCont, &QCheckBox::toggled, this,
          [this](bool checked) { run_.setLoop(checked); });
  connect(controls_.Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
  connect(controls_.Stp, &QPushButton::clicked, this, [this] { Stp_Click(); });
}

void Form1::Form_Load() {
  params_.load([this](Box which, const std::string& text) { setBoxText(which, text); });
  controls_.Stp->hide();
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
    controls_.Stp->setEnabled(false);
    showClosing();
    return;
  }
  // Idle, or closed a second time: at once.
  event->accept();
  Form_Unload();
}

void Form1::showClosing() {
  if (closingNote_ == nullptr) {
    closingNote_ = makeClosingNote(*this);
  }
  std::optional<QTime> endsAt;
  if (const auto boundary = run_.nextBoundary()) {
    const auto left = std::chrono::ceil<std::chrono::seconds>(std::max(
        *boundary - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero()));
    endsAt = QTime::currentTime().addSecs(static_cast<int>(left.count()));
  }
  closingNote_->setText(closingText(endsAt));
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
  auto prepared = prepareRun(texts, message_, controls_.InvertSB->isChecked());
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
                        .loop = controls_.LoopCont->isChecked(),
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
  refocusGo_ = controls_.Stp->hasFocus();
  controls_.Stp->setEnabled(false);  // seen; the run ends at the element boundary
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
    writeProgress_ = makeWriteProgress(*this);
  }
  writeProgress_->setValue(static_cast<int>(framesDone * writeProgress_->maximum() / framesTotal));
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
      return controls_.IdleFreq;
    case Box::DotFreq:
      return controls_.DotFreq;
    case Box::DashFreq:
      return controls_.DashFreq;
    case Box::SymbLen:
      return controls_.SymbLen;
    case Box::Intgap:
      return controls_.Intgap;
    case Box::dB:
      return controls_.dB;
  }
  return nullptr;  // not reached: every Box is listed above
}

void Form1::reportCut(std::size_t dropped) {
  const std::string text = cutText(dropped);
  // Shown once the insertion is over, outside the drop or key handling that caused it.
  QTimer::singleShot(0, this, [this, text] { report(text); });
}

void Form1::setMessage(const std::u32string& text) {
  controls_.TextIn->setText(QString::fromStdU32String(text));
}

std::string Form1::boxText(Box which) const { return box(which)->text().toStdString(); }

void Form1::setBoxText(Box which, const std::string& text) {
  box(which)->setText(QString::fromStdString(text));
}

void Form1::clearPattern() { pattern_->clear(); }

void Form1::appendPattern(char symbol) { pattern_->append(symbol); }

void Form1::showKeying(bool keying) {
  // Whoever pressed GO from the keyboard can stop with the same key, and the reverse.
  const bool goHadFocus = controls_.Command1->hasFocus();
  const bool stopHadFocus = controls_.Stp->hasFocus() || std::exchange(refocusGo_, false);
  controls_.Stp->setEnabled(true);
  pattern_->setBatching(keying);
  controls_.Stp->setVisible(keying);
  controls_.Command1->setVisible(!keying);
  controls_.InvertSB->setEnabled(!keying);
  if (keying && goHadFocus) {
    controls_.Stp->setFocus(Qt::OtherFocusReason);
  } else if (!keying && stopHadFocus) {
    controls_.Command1->setFocus(Qt::OtherFocusReason);
  }
  if (keying) {
    stopShown_.start();
  }
}

void Form1::report(const std::string& text) {
  QMessageBox::warning(this, windowCaption(), QString::fromStdString(text));
}

}  // namespace bitoner
