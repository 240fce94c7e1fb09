// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <optional>
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

// What a run needs of the window while it keys: the input the steps read, the pattern display
// and the checkpoints. A window that keys on another thread gives the run one of these that
// carries each call over to its own thread.
class KeyingView : public KeyingInput {
 public:
  virtual void clearPattern() = 0;
  virtual void appendPattern(char symbol) = 0;

  // The element boundary: the input that waited takes effect here, and nowhere else while the run
  // keys. Returns true if the run is to end here.
  virtual bool checkpoint() = 0;
};

// Writes the tone files from `inputs` and opens the sound output with their tones. Returns why
// that failed, in the operator's words, or nothing. ToneCancelled passes through when `progress`
// gives the writing up.
std::optional<std::string> startTones(SoundService& sound, const ToneInputs& inputs,
                                      const ToneProgress& progress = {});

// Walks the steps of a run: every Play through `sound`, the display and the checkpoints through
// `view`; drains the sound output at the end, so that the last idle symbol is heard in full.
// Returns why the run ended early, in the operator's words, or nothing. Runs on any one thread.
std::optional<std::string> keyMessage(KeyingView& view, SoundService& sound);

// The GO and Stop actions. Command1_Click runs the whole run on the window's thread and returns
// when it has ended. A window that keys on a worker thread calls the parts instead: prepare and
// finish on its own thread, startTones and keyMessage on the worker. The order of plays and
// display updates is the keying steps'; the sequencer only carries them out.
class Sequencer {
 public:
  Sequencer(KeyingWindow& window, SoundService& sound);

  void Command1_Click();
  void Stp_Click();

  // GO up to the tone files: clears abort, upper-cases the message and refuses one that cannot be
  // keyed (reported), normalises the symbol length and clears the display. Returns what the tone
  // files are made from, or nothing if the message was refused.
  std::optional<ToneInputs> prepare();

  // The run did not start: the tone files or the sound output failed for `failure`.
  void startFailed(const std::string& failure);

  // The end of a run that keyMessage ended, with its result: abort cleared, GO back, the failure
  // reported.
  void finish(const std::optional<std::string>& failure);

 private:
  KeyingWindow& window_;
  SoundService& sound_;
};

// The window's wording of a refused message.
std::string refusalText(const MessageRefusal& refusal);

}  // namespace bitoner
