// SPDX-License-Identifier: GPL-3.0-or-later
#include "keying/run_controller.h"

#include <exception>

#include "engine/keying_steps.h"
#include "keying/keyer.h"

namespace bitoner {

namespace {

using Clock = std::chrono::steady_clock;

// How often the worker tells how far the writing of the tone files has got.
constexpr auto kWriteReportInterval = std::chrono::milliseconds(50);

// How much of the message a sound mixer is shown as the stream's name.
constexpr std::size_t kDescribedCharacters = 40;

std::string streamDescription(const std::u32string& message) {
  const bool cut = message.size() > kDescribedCharacters;
  return "Morse: " + toUtf8(std::u32string_view(message).substr(0, kDescribedCharacters)) +
         (cut ? "\u2026" : "");
}

RunEnd soundFailed(const SoundError& error, bool keying) {
  return RunEnd{.kind = RunEnd::Kind::SoundFailed,
                .keying = keying,
                .notResponding = dynamic_cast<const SoundServerNotResponding*>(&error) != nullptr,
                .detail = error.what()};
}

}  // namespace

// What the steps read: the message and Loop as they were at the last element boundary.
class RunController::Input : public KeyingInput {
 public:
  explicit Input(RunController& run) : run_(run) { refresh(); }

  std::size_t messageLength() const override { return message_->size(); }
  char32_t messageAt(std::size_t index) const override { return (*message_)[index]; }
  bool loop() const override { return loop_; }

  // At a boundary: whatever the front end wrote since the last one takes effect.
  void refresh() {
    loop_ = run_.loop_;
    if (const std::uint64_t version = run_.messageVersion_; version != version_) {
      const std::lock_guard lock(run_.messageMutex_);
      message_ = run_.message_;
      version_ = version;
    }
  }

 private:
  RunController& run_;
  std::shared_ptr<const std::u32string> message_;
  std::uint64_t version_ = UINT64_MAX;
  bool loop_ = false;
};

RunController::RunController(SoundService& sound, std::function<void()> wake)
    : sound_(sound), wake_(std::move(wake)) {}

RunController::~RunController() {
  close();
  if (worker_.joinable()) {
    worker_.join();
  }
}

void RunController::start(RunRequest request) {
  if (running_) {
    return;
  }
  if (worker_.joinable()) {
    worker_.join();  // the last run's worker, already past its end
  }
  running_ = true;
  stop_ = false;
  end_ = false;
  close_ = false;
  nextBoundaryNs_ = 0;
  progress_ = {};
  setLoop(request.loop);
  setMessage(request.message);
  sound_.describe(streamDescription(request.message));
  worker_ = std::thread([this, request = std::move(request)] { work(request); });
}

void RunController::stop() { stop_ = true; }
void RunController::end() { end_ = true; }
void RunController::close() { close_ = true; }
void RunController::setLoop(bool loop) { loop_ = loop; }

void RunController::setMessage(std::u32string message) {
  auto snapshot = std::make_shared<const std::u32string>(std::move(message));
  const std::lock_guard lock(messageMutex_);
  message_ = std::move(snapshot);
  ++messageVersion_;
}

RunProgress RunController::takeProgress() {
  RunProgress taken;
  {
    const std::lock_guard lock(progressMutex_);
    taken = std::exchange(progress_, RunProgress{});
  }
  if (taken.end) {
    running_ = false;
  }
  return taken;
}

void RunController::waitForEnd() {
  if (worker_.joinable()) {
    worker_.join();
  }
}

std::optional<Clock::time_point> RunController::nextBoundary() const {
  const std::int64_t ns = nextBoundaryNs_;
  if (ns == 0) {
    return std::nullopt;
  }
  return Clock::time_point(
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns)));
}

void RunController::publish(const std::function<void(RunProgress&)>& change) {
  bool wasEmpty = false;
  {
    const std::lock_guard lock(progressMutex_);
    wasEmpty = progress_.empty();
    change(progress_);
  }
  if (wasEmpty) {
    wake_();
  }
}

void RunController::work(RunRequest request) {
  RunEnd end;
  try {
    const auto tones = std::make_shared<const ToneBank>(request.tones);
    if (request.toneDirectory) {
      auto lastReport = Clock::now();
      MakeTones(*tones, request.tones.Fsample, *request.toneDirectory,
                [this, &lastReport](std::int64_t done, std::int64_t total) {
                  if (const auto now = Clock::now(); now - lastReport >= kWriteReportInterval) {
                    lastReport = now;
                    publish([done, total](RunProgress& p) { p.writing = {done, total}; });
                  }
                  return !givenUp();
                });
      publish([](RunProgress& p) { p.writingDone = true; });
    }
    try {
      sound_.open(tones);
    } catch (const SoundError& error) {
      end = soundFailed(error, false);
    }
    if (end.kind != RunEnd::Kind::SoundFailed) {
      end = key(request, *tones);
    }
  } catch (const ToneCancelled&) {
    end.kind = RunEnd::Kind::Cancelled;
    if (stop_) {
      publishCleared();
    }
  } catch (const ToneError& error) {
    end = RunEnd{.kind = RunEnd::Kind::ToneFailed,
                 .keying = false,
                 .notResponding = false,
                 .detail = error.what()};
  } catch (const std::exception& error) {
    // Whatever else went wrong is reported like a failed start, not lost with the thread.
    end = RunEnd{.kind = RunEnd::Kind::ToneFailed,
                 .keying = false,
                 .notResponding = false,
                 .detail = error.what()};
  }
  publish([&end](RunProgress& p) { p.end = end; });
}

// What the keyer tells the window: the display as it grows, the next boundary's time, and input
// taken at boundaries.
class RunController::Observer : public KeyingObserver {
 public:
  Observer(RunController& run, Input& input, double secondsPerFrame)
      : run_(run), input_(input), secondsPerFrame_(secondsPerFrame) {}

  void stretchAhead(std::int64_t frames) override {
    const auto boundary =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                           static_cast<double>(frames) * secondsPerFrame_));
    run_.nextBoundaryNs_ =
        std::chrono::duration_cast<std::chrono::nanoseconds>(boundary.time_since_epoch()).count();
  }
  // The display follows the air: each change is shown once the sound before it has been heard.
  void shown(char symbol) override {
    RunController& run = run_;
    run.sound_.whenHeard(
        [&run, symbol] { run.publish([symbol](RunProgress& p) { p.appended += symbol; }); });
  }
  void cleared() override {
    RunController& run = run_;
    run.sound_.whenHeard([&run] { run.publishCleared(); });
  }
  bool goOn() override {
    input_.refresh();
    if (run_.stop_) {
      cleared();
    }
    return !(run_.stop_ || run_.end_ || run_.close_);
  }

 private:
  RunController& run_;
  Input& input_;
  double secondsPerFrame_;
};

void RunController::publishCleared() {
  publish([](RunProgress& p) {
    p.cleared = true;
    p.appended.clear();
  });
}

RunEnd RunController::key(const RunRequest& request, const ToneBank& tones) {
  Input input(*this);
  KeyingSteps steps(input);
  Observer observer(*this, input, 1.0 / request.tones.Fsample);
  try {
    const KeyingEnd end = Keyer(tones, sound_, observer).run(steps);
    sound_.drain();
    if (end == KeyingEnd::Ended) {
      return RunEnd{
          .kind = RunEnd::Kind::Ended, .keying = false, .notResponding = false, .detail = {}};
    }
  } catch (const SoundError& error) {
    return soundFailed(error, true);
  }
  return RunEnd{};
}

}  // namespace bitoner
