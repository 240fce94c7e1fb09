// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ui/message_edit.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QWidget;

namespace bitoner {

// The window's controls, under the names the operator's documentation gives them; each carries
// the same name as its Qt object name. Owned by the window through Qt's parent-child ownership.
struct Form1Controls {
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
};

// Gives `window` its title, icon, fixed size, colour and fonts, and creates every control in its
// fixed place with its caption or first text, its font and its turn in the tab order: GO shown
// and holding the focus, Stop hidden in the same place, both check boxes clear, the parameter
// boxes and the pattern display empty. `onCut` hears how many characters a paste or drop into the
// message box had to leave out.
Form1Controls layOutForm1(QWidget& window, MessageEdit::CutNotice onCut);

// The bar that shows a long tone-file write, over the pattern display, which is empty meanwhile.
QProgressBar* makeWriteProgress(QWidget& window);

// The note above the message box that says when a window closed during an element will end.
QLabel* makeClosingNote(QWidget& window);

}  // namespace bitoner
