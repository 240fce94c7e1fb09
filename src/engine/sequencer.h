// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "engine/keying_steps.h"
#include "engine/parameters.h"
#include "sound/sound_service.h"

namespace bitoner {

// The window as the keying sequencer sees it. The main window implements it with real widgets;
// unit tests implement it with a recording fake.
class KeyingWindow {
 public:
  virtual ~KeyingWindow() = default;

  // The form variables, `abort` among them, shared with the box change handlers.
  virtual KeyingParameters& parameters() = 0;

  // The message box's text, as Unicode code points, and replacing it.
  virtual std::u32string message() const = 0;
  virtual void setMessage(const std::u32string& text) = 0;

  // The message's length and one of its characters, read during a run at every position. A window
  // that can answer without copying the whole message should.
  virtual std::size_t messageLength() const { return message().size(); }
  virtual char32_t messageAt(std::size_t index) const { return message().at(index); }

  // A parameter box's text, and replacing it; the write runs the box's change handler before it
  // returns, as an edit by the operator would.
  virtual std::string boxText(Box box) const = 0;
  virtual void setBoxText(Box box, const std::string& text) = 0;

  // The pattern display.
  virtual void clearPattern() = 0;
  virtual void appendPattern(char symbol) = 0;

  // The Loop and Invert I/Q check boxes.
  virtual bool loopChecked() const = 0;
  virtual bool invertChecked() const = 0;

  // Keying: Stop shown in GO's place and Invert I/Q disabled; idle: the reverse.
  virtual void showKeying(bool keying) = 0;

  // Handles every waiting click, edit and close request, then returns.
  virtual void processEvents() = 0;

  // Tells the operator why a run did not start or ended early.
  virtual void report(const std::string& text) = 0;
};

// The GO and Stop actions. Runs on the window's thread; GO returns when the run has ended. The
// order of plays and display updates is the keying steps'; the sequencer only carries them out.
class Sequencer {
 public:
  Sequencer(KeyingWindow& window, SoundService& sound);

  void Command1_Click();
  void Stp_Click();

 private:
  void keySteps();

  KeyingWindow& window_;
  SoundService& sound_;
};

// The window's wording of a refused message.
std::string refusalText(const MessageRefusal& refusal);

}  // namespace bitoner
