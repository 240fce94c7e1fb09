// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/parameters.h"
#include "engine/sequencer.h"
#include "sound/sound_service.h"

class QCheckBox;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace bitoner {

class PatternDisplay;

// The program's only window: the message, the six parameter boxes, GO and Stop sharing one place,
// Loop, Invert I/Q and the pattern display. It owns the keying parameters and the sequencer, and
// plays through the sound service it is given, which must outlive it.
//
// A run writes its tone files and keys on a worker thread, so the window keeps painting and
// answering the window system however long an element lasts. The operator's Stop and close are
// seen at once but held, like every edit, until the element boundary, where the window's thread
// alone decides whether the run goes on.
class Form1 : public QWidget, public KeyingWindow {
  Q_OBJECT

 public:
  // Ends the program with the given status. The window calls it when it is closed; it does not
  // return in the program, while a test may pass one that only takes note.
  using EndProgram = std::function<void(int status)>;

  explicit Form1(SoundService& sound, EndProgram endProgram = endProcess);
  ~Form1() override;
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  // Ends the process at once with `status`, running no further code of the program.
  [[noreturn]] static void endProcess(int status);

  // KeyingWindow
  KeyingParameters& parameters() override;
  std::u32string message() const override;
  void setMessage(const std::u32string& text) override;
  std::size_t messageLength() const override;
  char32_t messageAt(std::size_t index) const override;
  std::string boxText(Box box) const override;
  void setBoxText(Box box, const std::string& text) override;
  void clearPattern() override;
  void appendPattern(char symbol) override;
  bool loopChecked() const override;
  bool invertChecked() const override;
  void showKeying(bool keying) override;
  void processEvents() override;
  void report(const std::string& text) override;

  // Whether a run (tone files or keying) is in progress.
  bool running() const { return run_ != nullptr; }

  // The controls, named as the operator's documentation and the tests refer to them. Owned by the
  // window through Qt's parent-child ownership.
  QLabel* Label4 = nullptr;
  QLineEdit* TextIn = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* IdleFreq = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* SymbLen = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* DotFreq = nullptr;
  QLabel* Label6 = nullptr;
  QLineEdit* Intgap = nullptr;
  QLabel* Label3 = nullptr;
  QLineEdit* DashFreq = nullptr;
  QLabel* Amplitude = nullptr;
  QLineEdit* dB = nullptr;
  QPushButton* Command1 = nullptr;
  QPushButton* Stp = nullptr;
  QCheckBox* LoopCont = nullptr;
  QCheckBox* InvertSB = nullptr;
  QPlainTextEdit* CodePatt = nullptr;

 signals:
  // A run has ended and the window is idle again.
  void runFinished();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  class Run;
  struct RunEnd;

  void createControls();
  void connectHandlers();
  void Form_Load();
  void Form_Unload();

  void Command1_Click();
  void Stp_Click();
  void SymbLen_Change();
  void Intgap_Change();
  void dB_Change();
  void IdleFreq_Change();
  void DotFreq_Change();
  void DashFreq_Change();
  void boxChanged(Box which);

  QLineEdit* box(Box which) const;
  void reportCut(std::size_t dropped);

  // Called on the window's thread by the run's worker.
  void atCheckpoint();
  void showWriting(std::int64_t framesDone, std::int64_t framesTotal);
  void writingDone();
  void runEnded(const RunEnd& end);

  KeyingParameters params_;
  // The message box's text as code points, kept current on every change so that a run reads a
  // character without converting the whole message.
  std::u32string message_;
  std::unique_ptr<PatternDisplay> pattern_;
  SoundService& sound_;
  Sequencer sequencer_;
  EndProgram endProgram_;

  std::unique_ptr<Run> run_;
  bool stopHeld_ = false;        // Stop was clicked; takes effect at the next boundary
  bool closeHeld_ = false;       // the window was closed; the program ends at the next boundary
  bool refocusGo_ = false;       // Stop had the keyboard when it was clicked
  bool messageChanged_ = false;  // the message was edited since the run last read it
  QElapsedTimer stopShown_;      // since Stop took GO's place
  QElapsedTimer writing_;        // since the tone files began to be written
  QProgressBar* writeProgress_ = nullptr;  // made when a write first takes long
};

}  // namespace bitoner
