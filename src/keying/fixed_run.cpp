// SPDX-License-Identifier: GPL-3.0-or-later
#include "keying/fixed_run.h"

#include <optional>

#include "engine/keying_steps.h"
#include "keying/keyer.h"

namespace bitoner {

namespace {

// The message as it stands for the whole run; Loop set exactly when passes are asked for.
class FixedInput : public KeyingInput {
 public:
  explicit FixedInput(const FixedRun& run) : message_(run.message), loop_(run.loopPasses > 0) {}
  std::size_t messageLength() const override { return message_.size(); }
  char32_t messageAt(std::size_t index) const override { return message_[index]; }
  bool loop() const override { return loop_; }

 private:
  std::u32string_view message_;
  bool loop_;
};

// Cuts the run into segments: a character from its first frame to the end of its idle symbol,
// or a Loop's extra idle symbol.
class Segmenter : public KeyingObserver {
 public:
  Segmenter(const ToneBank& tones, const std::function<void(const Segment&)>& segment)
      : tones_(tones), segment_(segment) {}

  void characterStarted(const KeyingStep& step) override {
    open(Segment::Kind::Character);
    open_->character = step.character;
    open_->pattern = step.pattern;
  }
  void loopIdleStarted() override { open(Segment::Kind::LoopIdle); }
  void played(Tone tone) override {
    const std::int64_t frames = tones_.frames(tone);
    if (open_ && frames > 0) {
      open_->sounds[static_cast<std::size_t>(tone)] = true;
    }
    at_ += frames;
  }
  void close() {
    if (open_ && at_ > open_->start) {
      open_->count = at_ - open_->start;
      segment_(*open_);
    }
    open_.reset();
  }

 private:
  void open(Segment::Kind kind) {
    close();
    open_ = Segment{};
    open_->kind = kind;
    open_->start = at_;
  }

  const ToneBank& tones_;
  const std::function<void(const Segment&)>& segment_;
  std::int64_t at_ = 0;
  std::optional<Segment> open_;
};

// Counts the frames and plays of the tones it is given.
class ToneCounter : public ToneSink, public KeyingObserver {
 public:
  ToneCounter(const ToneBank& tones, std::int64_t limit) : tones_(tones), limit_(limit) {}
  void play(Tone tone) override {
    frames_ += tones_.frames(tone);
    ++plays_[static_cast<std::size_t>(tone)];
  }
  bool goOn() override { return frames_ <= limit_; }
  std::int64_t frames() const { return frames_; }
  const std::array<std::int64_t, 4>& plays() const { return plays_; }

 private:
  const ToneBank& tones_;
  std::int64_t limit_;
  std::int64_t frames_ = 0;
  std::array<std::int64_t, 4> plays_{};
};

std::optional<std::int64_t> passesOf(const FixedRun& run);

ToneCounter count(const ToneBank& tones, const FixedRun& run, std::int64_t limit) {
  const FixedInput input(run);
  KeyingSteps steps(input);
  ToneCounter counter(tones, limit);
  Keyer(tones, counter, counter).run(steps, passesOf(run));
  return counter;
}

// The passes the keyer is to stop after: none for a run without Loop, which ends by itself.
std::optional<std::int64_t> passesOf(const FixedRun& run) {
  return run.loopPasses > 0 ? std::optional(run.loopPasses) : std::nullopt;
}

}  // namespace

void keyFixedRun(const ToneBank& tones, const FixedRun& run, ToneSink& sink,
                 const std::function<void(const Segment&)>& segment) {
  const FixedInput input(run);
  KeyingSteps steps(input);
  if (!segment) {
    KeyingObserver quiet;
    Keyer(tones, sink, quiet).run(steps, passesOf(run));
    return;
  }
  Segmenter segmenter(tones, segment);
  Keyer(tones, sink, segmenter).run(steps, passesOf(run));
  segmenter.close();
}

std::int64_t countFixedRunFrames(const ToneBank& tones, const FixedRun& run, std::int64_t limit) {
  return count(tones, run, limit).frames();
}

std::array<std::int64_t, 4> countFixedRunPlays(const ToneBank& tones, const FixedRun& run) {
  return count(tones, run, std::numeric_limits<std::int64_t>::max()).plays();
}

}  // namespace bitoner
