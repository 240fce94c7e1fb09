#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "keying/sequencer.h"
#include "sound/sound_service.h"
#include "ui/parameters.h"

namespace bitoner::testing {

// One log shared by the fake window and the fake sound service, so that the order of plays,
// display updates and event processing can be compared as a whole. Entries:
//   "play <name>", "open", "drain"             the sound service
//   "+." "+-" "+ " and "clear"                  the pattern display
//   "events"                                    processEvents
//   "keying" / "idle"                           showKeying(true) / showKeying(false)
//   "message", "box <name> <text>"             writes by the sequencer
//   "report"                                    report (the text is kept in reports)
using EventLog = std::vector<std::string>;

// The window as the sequencer sees it, in the state the load leaves it in. Scripted actions run
// inside processEvents, as clicks and edits made during a play would.
class FakeWindow : public KeyingWindow {
 public:
  explicit FakeWindow(EventLog& log) : log_(log) {
    params.Fsample = kSampleRateHz;
    for (const auto& [box, defaultText] : kDefaultTexts) {
      writeBox(box, std::string(defaultText));
    }
    params.abort = kFalse;
  }

  KeyingParameters& parameters() override { return params; }
  std::u32string message() const override { return text; }
  void setMessage(const std::u32string& newText) override {
    text = newText;
    log_.push_back("message");
  }

  std::string boxText(Box box) const override { return boxes.at(box); }
  // As the real box does: the change handler has run when the write returns.
  void setBoxText(Box box, const std::string& newText) override {
    static const std::map<Box, std::string> kNames{
        {Box::IdleFreq, "IdleFreq"}, {Box::DotFreq, "DotFreq"}, {Box::DashFreq, "DashFreq"},
        {Box::SymbLen, "SymbLen"},   {Box::Intgap, "Intgap"},   {Box::dB, "dB"}};
    log_.push_back("box " + kNames.at(box) + " " + newText);
    writeBox(box, newText);
  }

  void clearPattern() override {
    pattern.clear();
    log_.push_back("clear");
  }
  void appendPattern(char symbol) override {
    pattern += symbol;
    log_.push_back(std::string("+") + symbol);
  }

  bool loopChecked() const override { return loop; }
  bool invertChecked() const override { return invert; }

  void showKeying(bool on) override {
    keying = on;
    log_.push_back(on ? "keying" : "idle");
  }

  void processEvents() override {
    log_.push_back("events");
    ++eventCalls;
    if (const auto action = atEvents.find(eventCalls); action != atEvents.end()) {
      action->second();
    }
  }

  void report(const std::string& reportText) override {
    reports.push_back(reportText);
    log_.push_back("report");
  }

  // What an operator types into a box: the text changes and the box's handler runs.
  void writeBox(Box box, const std::string& newText) {
    boxes[box] = newText;
    if (box == Box::SymbLen) {
      params.SymbLen_Change(newText, boxes[Box::Intgap]);
    } else if (box == Box::Intgap) {
      params.Intgap_Change(newText);
    } else if (box == Box::dB) {
      params.dB_Change(newText);
    } else {
      params.IdleFreq_Change();  // the frequency handlers only raise abort
    }
  }

  KeyingParameters params;
  std::u32string text = U"Edit for message";
  std::map<Box, std::string> boxes;
  std::string pattern;
  bool loop = false;
  bool invert = false;
  bool keying = false;
  std::vector<std::string> reports;
  // Actions run by the n-th call of processEvents (counted from 1).
  std::map<int, std::function<void()>> atEvents;
  int eventCalls = 0;

 private:
  EventLog& log_;
};

// A sound service that plays instantly and records what it was asked for. It can be told to fail,
// and it refuses to run away: a run that never ends would otherwise hang the test.
class FakeSound : public SoundService {
 public:
  static constexpr std::size_t kRunawayPlays = 2'000'000;

  explicit FakeSound(EventLog& log) : log_(log) {}

  void open() override {
    log_.push_back("open");
    if (openError) {
      throw SoundError("Connection refused");
    }
  }

  bool play(const std::string& name) override {
    ++plays;
    if (plays == failAtPlay) {
      throw SoundError("Connection terminated");
    }
    if (plays > kRunawayPlays) {
      throw std::logic_error("the keying run does not end");
    }
    log_.push_back("play " + name);
    return true;
  }

  void drain() override {
    log_.push_back("drain");
    if (drainError) {
      throw SoundError("Connection terminated");
    }
  }

  bool openError = false;
  bool drainError = false;
  std::size_t failAtPlay = 0;  // the play (counted from 1) that loses the server; 0 for none
  std::size_t plays = 0;

 private:
  EventLog& log_;
};

}  // namespace bitoner::testing
