// SPDX-License-Identifier: GPL-3.0-or-later
#include "keying/beacon.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "engine/keying_steps.h"
#include "keying/keyer.h"

namespace bitoner {

namespace {

// A pass whose first frame would be heard at most this long after its slot still takes that slot:
// better a few milliseconds late than a whole period.
constexpr auto kLateTolerance = std::chrono::milliseconds(20);
// Waits in silence are cut into pieces this long, so that a clock step is followed in time.
constexpr auto kLongestSilentWait = std::chrono::milliseconds(1000);

class MessageInput : public KeyingInput {
 public:
  explicit MessageInput(const std::u32string& message) : message_(message) {}
  std::size_t messageLength() const override { return message_.size(); }
  char32_t messageAt(std::size_t index) const override { return message_[index]; }
  // Each pass is the first of a Loop, ended as the second would begin: its extra idle symbol
  // keeps the passes of a beacon apart as a Loop keeps its own.
  bool loop() const override { return true; }

 private:
  const std::u32string& message_;
};

// The beacon's lines and its growing pattern line, written whole under one lock: they come from
// the keying thread and, once heard, from the player's thread.
class Report {
 public:
  explicit Report(std::ostream& out) : out_(out) {}

  void line(WallClock::time_point when, const std::string& text) {
    const std::scoped_lock lock(mutex_);
    endPatternLocked();
    out_ << "bitoner beacon: " << utcText(when) << ' ' << text << '\n' << std::flush;
  }

  void symbol(char symbol) {
    const std::scoped_lock lock(mutex_);
    if (!patternOpen_) {
      out_ << "  ";
      patternOpen_ = true;
    }
    out_ << symbol << std::flush;
  }

  void endPattern() {
    const std::scoped_lock lock(mutex_);
    endPatternLocked();
  }

 private:
  void endPatternLocked() {
    if (patternOpen_) {
      out_ << '\n' << std::flush;
      patternOpen_ = false;
    }
  }

  std::ostream& out_;
  std::mutex mutex_;
  bool patternOpen_ = false;
};

class Beacon : public KeyingObserver {
 public:
  Beacon(const BeaconConfig& config, TimedSound& sound, const StopSignals& stop,
         std::ostream& report)
      : config_(config),
        sound_(sound),
        stop_(stop),
        report_(std::make_shared<Report>(report)),
        clocks_(*config.clocks),
        clockSteps_(*config.clocks),
        messageText_(toUtf8(config.message)),
        underrunsSeen_(sound.underruns()) {}

  bool run() {
    bool connected = false;
    while (stop_.received() == 0 && !(config_.passes && completed_ >= *config_.passes)) {
      try {
        if (!connected) {
          sound_.open(config_.tones);
          if (lost_) {
            say("sound server back; keying again");
            lost_ = false;
          }
          connected = true;
        }
        if (config_.schedule && !waitForSlot()) {
          break;
        }
        if (!keyPass()) {
          break;
        }
      } catch (const SoundDeviceMissing& error) {
        fault(error.what());
        return false;
      } catch (const SoundError& error) {
        connected = false;
        previousSlot_.reset();  // an outage is no pass running long
        if (!lost_) {
          fault(std::string(error.what()) + "; trying again every " +
                std::to_string(config_.retryEvery.count() / 1000) + " s");
          lost_ = true;
        }
        if (stop_.waitFor(config_.retryEvery)) {
          return false;  // the sound server never came back
        }
      }
    }
    try {
      if (connected) {
        sound_.drain();  // the element being sent is heard whole
      }
    } catch (const SoundError& error) {
      fault(std::string("sound server lost while finishing (") + error.what() + ")");
    }
    report_->endPattern();
    return !lost_;
  }

 private:
  // Fills the time until the next scheduled start with the idle tone, its last stretch cut short
  // so that the pass's first frame is heard on time. Worked out afresh from the real-time clock
  // before every idle symbol, so a clock step is followed. False if a stop came first.
  bool waitForSlot() {
    const PassSchedule& schedule = *config_.schedule;
    const std::int64_t idleFrames = config_.tones->frames(Tone::Idle);
    for (;;) {
      if ((stop_.received() != 0)) {
        return false;
      }
      followClock();
      noteUnderruns();
      const auto heardAt = clocks_.wall() + sound_.latency();
      const auto slot = schedule.nextStart(heardAt - kLateTolerance);
      noteLateness(slot);
      slot_ = slot;
      const double wait = std::chrono::duration<double>(slot - heardAt).count();
      const auto frames =
          std::max<std::int64_t>(0, std::llround(wait * static_cast<double>(config_.sampleRateHz)));
      if (frames == 0) {
        return true;
      }
      if (idleFrames == 0) {
        // No idle tone to fill with: let the time pass in silence.
        if (stop_.waitFor(std::min<std::chrono::milliseconds>(
                kLongestSilentWait,
                std::chrono::duration_cast<std::chrono::milliseconds>(slot - heardAt)))) {
          return false;
        }
        continue;
      }
      if (frames < idleFrames) {
        sound_.playPart(Tone::Idle, frames);
        return true;
      }
      sound_.play(Tone::Idle);
    }
  }

  // A step of the wall clock (set by a time service or by hand, or a resume from suspend) moves
  // the schedule with it: the next pass takes the next slot of the new time, and no pass counts as
  // late for slots the step skipped.
  void followClock() {
    if (const auto step = clockSteps_.look()) {
      sayAlways(std::string("the clock stepped ") +
                    (*step > WallClock::duration::zero() ? "forward" : "back") + " by " +
                    stepText(*step) +
                    (config_.schedule ? "; the schedule follows the new time" : ""),
                clocks_.wall());
      // Which slot the pass before the step took says nothing of the slots of the new time.
      previousSlot_.reset();
      clockStepped_ = true;
    }
  }

  // A pass that ran past the next slot takes the one after; the log says so once per pass.
  void noteLateness(WallClock::time_point slot) {
    if (previousSlot_ && slot > *previousSlot_ + config_.schedule->every && !lateNoted_) {
      say("pass " + std::to_string(completed_) + " ran past its period; the next pass starts at " +
          utcText(slot));
      lateNoted_ = true;
    }
  }

  // One pass of the message and the idle symbol that follows it in a Loop. False if a stop ended
  // it early.
  bool keyPass() {
    const std::int64_t number = completed_ + 1;
    const auto start = config_.schedule ? slot_ : clocks_.wall() + sound_.latency();
    if (!config_.quiet) {
      say("pass " + std::to_string(number) + ": " + messageText_, start);
    }
    const MessageInput input(config_.message);
    KeyingSteps steps(input, config_.tones->mode());
    if (Keyer(*config_.tones, sound_, *this).run(steps, 1) == KeyingEnd::Ended) {
      return false;
    }
    whenHeard([](Report& report) { report.endPattern(); });
    completed_ = number;
    previousSlot_ = config_.schedule && !clockStepped_ ? std::optional(slot_) : std::nullopt;
    clockStepped_ = false;
    lateNoted_ = false;
    return true;
  }

  void shown(char symbol) override {
    if (!config_.quiet && config_.terminal) {
      whenHeard([symbol](Report& report) { report.symbol(symbol); });
    }
  }

  // Progress follows the air: a line or a symbol is written once the sound queued before it has
  // been heard. The report is shared with the callbacks, which may come after the beacon ends.
  void whenHeard(std::function<void(Report&)> write) {
    sound_.whenHeard([report = report_, write = std::move(write)] { write(*report); });
  }

  // Every line carries its time, the time a pass is heard for the line that announces it.
  void say(const std::string& line, std::optional<WallClock::time_point> when = std::nullopt) {
    if (!config_.quiet) {
      sayAlways(line, when.value_or(clocks_.wall()));
    }
  }

  // A line even when quiet, in its place among those that follow the air.
  void sayAlways(const std::string& line, WallClock::time_point when) {
    whenHeard([line, when](Report& report) { report.line(when, line); });
  }

  // A fault of the sound server, written at once: the player has called what waited to be heard.
  void fault(const std::string& line) { report_->line(clocks_.wall(), line); }

  // A gap in the signal is said at once, however quiet: an operator must not take a broken
  // transmission for a whole one.
  void noteUnderruns() {
    const std::uint64_t underruns = sound_.underruns();
    if (underruns != underrunsSeen_) {
      underrunsSeen_ = underruns;
      fault(
          "the sound server ran out of samples: the signal has a gap (the machine was too busy "
          "to keep it fed)");
    }
  }

  void played(Tone /*tone*/) override {
    followClock();
    noteUnderruns();
  }
  bool goOn() override { return stop_.received() == 0; }

  const BeaconConfig& config_;
  TimedSound& sound_;
  const StopSignals& stop_;
  std::shared_ptr<Report> report_;
  const Clocks& clocks_;
  ClockStepWatch clockSteps_;
  const std::string messageText_;
  std::int64_t completed_ = 0;
  WallClock::time_point slot_{};
  std::optional<WallClock::time_point> previousSlot_;
  bool lateNoted_ = false;
  bool clockStepped_ = false;  // since the last pass ended
  bool lost_ = false;
  std::uint64_t underrunsSeen_;
};

}  // namespace

bool runBeacon(const BeaconConfig& config, TimedSound& sound, const StopSignals& stop,
               std::ostream& report) {
  return Beacon(config, sound, stop, report).run();
}

}  // namespace bitoner
