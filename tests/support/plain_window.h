// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/sequencer.h"

namespace bitoner::testing {

// What a window did, in order, when a test asks for a log:
//   "+." "+-" "+ " and "clear"         the pattern display
//   "events"                           processEvents
//   "keying" / "idle"                  showKeying(true) / showKeying(false)
//   "message", "box <name> <text>"    writes by the sequencer
//   "report"                           report (the text is kept in reports)
using EventLog = std::vector<std::string>;

// The window reduced to what the sequencer sees, in the state the load leaves it in: box texts
// whose writes run the change handlers, as the real boxes do, and scripted actions in place of the
// event loop. Its public members are what a test sets up and inspects.
class PlainWindow : public KeyingWindow {
 public:
  explicit PlainWindow(EventLog* log = nullptr) : log_(log) {
    params.load([this](Box box, const std::string& newText) { writeBox(box, newText); });
  }

  KeyingParameters& parameters() override { return params; }
  std::u32string message() const override { return text; }
  void setMessage(const std::u32string& newText) override {
    text = newText;
    note("message");
  }
  std::string boxText(Box box) const override { return boxes.at(box); }
  void setBoxText(Box box, const std::string& newText) override {
    static constexpr std::array<const char*, 6> kNames{"IdleFreq", "DotFreq", "DashFreq",
                                                       "SymbLen",  "Intgap",  "dB"};
    note(std::string("box ") + kNames.at(static_cast<std::size_t>(box)) + " " + newText);
    writeBox(box, newText);
  }
  void clearPattern() override {
    pattern.clear();
    note("clear");
  }
  void appendPattern(char symbol) override {
    pattern += symbol;
    note(std::string("+") + symbol);
  }
  bool loopChecked() const override { return loop; }
  bool invertChecked() const override { return invert; }
  void showKeying(bool on) override {
    keying = on;
    note(on ? "keying" : "idle");
  }
  void processEvents() override {
    note("events");
    ++eventCalls;
    if (const auto action = atEvents.find(eventCalls); action != atEvents.end()) {
      action->second();
    }
    if (onEvents) {
      onEvents();
    }
  }
  void report(const std::string& reportText) override {
    reports.push_back(reportText);
    note("report");
  }

  // What an operator types into a box: the text changes and the box's handler runs.
  void writeBox(Box box, const std::string& newText) {
    boxes[box] = newText;
    params.Box_Change(box, [this](Box other) { return boxes[other]; });
  }

  KeyingParameters params;
  std::u32string text = U"Edit for message";
  std::map<Box, std::string> boxes;
  std::string pattern;
  bool loop = false;
  bool invert = false;
  bool keying = false;
  std::vector<std::string> reports;
  std::map<int, std::function<void()>> atEvents;  // run by the n-th processEvents, from 1
  std::function<void()> onEvents;                 // run by every processEvents
  int eventCalls = 0;

 private:
  void note(std::string entry) {
    if (log_ != nullptr) {
      log_->push_back(std::move(entry));
    }
  }

  EventLog* log_;
};

}  // namespace bitoner::testing
