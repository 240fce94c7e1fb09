// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/keying_steps.h"
#include "engine/parameters.h"
#include "keying/run_controller.h"
#include "sound/sound_service.h"
#include "ui/window_layout.h"

class QCloseEvent;
class QLabel;
class QLineEdit;
class QProgressBar;

namespace bitoner {

class PatternDisplay;

namespace testing {
class WindowProbe;
}

// The program's only window: the message, the six parameter boxes, GO and Stop sharing one place,
// Loop, Invert I/Q and the pattern display. It owns the keying parameters and a run controller,
// and plays through the sound service it is given, which must outlive it.
//
// A run writes its tone files and keys on the controller's worker, so the window keeps painting
// and answering the window system however long an element lasts, and the signal never waits for
// the window. The operator's Stop, edits and close go to the controller at once and take effect
// at the next element boundary; what the display gains comes back as posted progress.
class Form1 : public QWidget {
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

  // Whether a run (tone files or keying) is in progress.
  bool running() const { return run_.running(); }

 signals:
  // A run has ended and the window is idle again.
  void runFinished();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  // The window tests' one way in: tests/window/window_probe.h.
  friend class testing::WindowProbe;

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

  // Replaces the message box's text.
  void setMessage(const std::u32string& text);

  // A parameter box, its text, and replacing it; the write runs the box's change handler before
  // it returns, as an edit by the operator would.
  QLineEdit* box(Box which) const;
  std::string boxText(Box which) const;
  void setBoxText(Box which, const std::string& text);

  // The pattern display.
  void clearPattern();
  void appendPattern(char symbol);

  // Keying: Stop shown in GO's place and Invert I/Q disabled; idle: the reverse.
  void showKeying(bool keying);

  // Tells the operator why a run did not start or ended early, or what a paste left out.
  void report(const std::string& text);
  void reportCut(std::size_t dropped);

  // On the window's thread, whenever the run has progress waiting.
  void takeProgress();
  void showWriting(std::int64_t framesDone, std::int64_t framesTotal);
  void writingDone();
  void runEnded(const RunEnd& end);
  void showClosing();
  void endProgram();

  Form1Controls controls_;
  KeyingParameters params_;
  // The message box's text as code points, kept current on every change.
  std::u32string message_;
  std::unique_ptr<PatternDisplay> pattern_;
  EndProgram endProgram_;
  RunController run_;

  bool closing_ = false;           // closed during a run: the program ends at the next boundary
  bool ended_ = false;             // the program was asked to end
  bool refocusGo_ = false;         // Stop had the keyboard when it was clicked
  QElapsedTimer stopShown_;        // since Stop took GO's place
  QLabel* closingNote_ = nullptr;  // says when a run closed during an element ends
  QElapsedTimer writing_;          // since the tone files began to be written
  QProgressBar* writeProgress_ = nullptr;  // made when a write first takes long
};

}  // namespace bitoner
