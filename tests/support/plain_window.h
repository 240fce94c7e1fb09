#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "keying/sequencer.h"

namespace bitoner::testing {

// The window reduced to what the sequencer sees: box texts whose writes run the change handlers,
// as the real window's boxes do, and a hook in place of the event loop.
// Its public members are what a test sets up and inspects.
class PlainWindow : public KeyingWindow {
 public:
  PlainWindow() {
    params_.Fsample = kSampleRateHz;
    for (const auto& [box, text] : kDefaultTexts) {
      setBoxText(box, std::string(text));
    }
    params_.abort = kFalse;
  }

  KeyingParameters& parameters() override { return params_; }
  std::u32string message() const override { return message_; }
  void setMessage(const std::u32string& text) override { message_ = text; }
  std::string boxText(Box box) const override { return boxes_.at(box); }

  void setBoxText(Box box, const std::string& text) override {
    boxes_[box] = text;
    switch (box) {
      case Box::IdleFreq:
        params_.IdleFreq_Change();
        break;
      case Box::DotFreq:
        params_.DotFreq_Change();
        break;
      case Box::DashFreq:
        params_.DashFreq_Change();
        break;
      case Box::SymbLen:
        params_.SymbLen_Change(boxes_[Box::SymbLen], boxes_[Box::Intgap]);
        break;
      case Box::Intgap:
        params_.Intgap_Change(boxes_[Box::Intgap]);
        break;
      case Box::dB:
        params_.dB_Change(boxes_[Box::dB]);
        break;
    }
  }

  void clearPattern() override { pattern.clear(); }
  void appendPattern(char symbol) override { pattern += symbol; }
  bool loopChecked() const override { return loop; }
  bool invertChecked() const override { return false; }
  void showKeying(bool keyingNow) override { keying = keyingNow; }
  void processEvents() override {
    ++eventRounds;
    if (onEvents) {
      onEvents(eventRounds);
    }
  }
  void report(const std::string& text) override { reports.push_back(text); }

  std::string pattern;
  bool loop = false;
  bool keying = false;
  int eventRounds = 0;
  std::function<void(int)> onEvents;
  std::vector<std::string> reports;

 private:
  KeyingParameters params_;
  std::map<Box, std::string> boxes_;
  std::u32string message_;
};

}  // namespace bitoner::testing
