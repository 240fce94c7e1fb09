// SPDX-License-Identifier: GPL-3.0-or-later
// The player's dealings with the PulseAudio client library that are not the player itself: the
// shape of its stream and its buffer, and owners of the library's handles.
#pragma once

#include <pulse/context.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "engine/tones.h"
#include "sound/pulse_player.h"

namespace bitoner::pulse {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kMicrosecondsPerMillisecond = 1000;
constexpr std::uint64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::size_t kFrameBytes = kChannels * sizeof(std::int16_t);
constexpr const char* kDefaultDescription = "Keyed signal";
// The server's buffer as asked for, and the least it asks for at a time (see bufferAttr()).
struct Buffering {
  std::uint64_t targetMs;
  std::uint64_t requestMs;
};
// Small requests keep the queue near kQueuedTargetMs, for tones that follow each other quickly.
constexpr Buffering kShortTones{300, 20};
// With tones of a second or more the caller wakes once a tone, and what is left is the server's
// requests: each wakes the feeding thread twice (the request, then the release of the block it was
// met with), and the server asks again whenever a request's worth has been played. The server
// keeps at least one request queued when it asks, so with requests of 400 ms it holds 400 to
// about 800 ms, and the whole process wakes about 12 times a second at a 3 s symbol (18 with
// requests of 200 ms, which keep 260 to 460 ms).
constexpr Buffering kLongTones{660, 400};
constexpr std::int64_t kLongToneMs = 1000;
// How long the server's account of the stream is relied on before it is asked again.
constexpr auto kTimingFreshFor = std::chrono::seconds(1);

// The stream's format: the tones' own rate, so that a server running at it passes them unchanged.
inline pa_sample_spec toneFormat(std::int32_t sampleRateHz) {
  return pa_sample_spec{PA_SAMPLE_S16NE, static_cast<std::uint32_t>(sampleRateHz),
                        static_cast<std::uint8_t>(kChannels)};
}

// Holds the loop's lock: the loop thread runs the callbacks under it.
class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) { pa_threaded_mainloop_lock(loop_); }
  ~LoopLock() { pa_threaded_mainloop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

class Proplist {
 public:
  Proplist() : list_(pa_proplist_new()) {}
  ~Proplist() { pa_proplist_free(list_); }
  Proplist(const Proplist&) = delete;
  Proplist& operator=(const Proplist&) = delete;
  Proplist& set(const char* key, const std::string& value) {
    pa_proplist_sets(list_, key, value.c_str());
    return *this;
  }
  pa_proplist* get() const { return list_; }

 private:
  pa_proplist* list_;
};

inline const Buffering& bufferingFor(const std::shared_ptr<const ToneBank>& tones) {
  return tones && tones->frames(Tone::Idle) * 1000 >= kLongToneMs * tones->sampleRateHz()
             ? kLongTones
             : kShortTones;
}

// With the latency adjusted, the server splits tlength between its own buffer and the sink's
// (tlength - 2 minreq, halved), and holds somewhat less than tlength end to end: asking for a
// little more than kQueuedTargetMs keeps about that much queued. A prebuf of one frame lets the
// first play be heard at once, yet keeps the stream waiting for data after a drain or an underrun
// instead of skipping what comes late.
inline pa_buffer_attr bufferAttr(const Buffering& buffering, const pa_sample_spec& format) {
  const auto bytesFor = [&format](std::uint64_t milliseconds) {
    return static_cast<std::uint32_t>(
        pa_usec_to_bytes(milliseconds * kMicrosecondsPerMillisecond, &format));
  };
  return {static_cast<std::uint32_t>(-1), bytesFor(buffering.targetMs),
          static_cast<std::uint32_t>(kFrameBytes), bytesFor(buffering.requestMs),
          static_cast<std::uint32_t>(-1)};
}

// Holds a reference to an operation the server answers later; one still running when its waiter
// gives up (the server lost, no answer in time) is cancelled, so its callback never runs late.
class PendingOperation {
 public:
  explicit PendingOperation(pa_operation* operation) : operation_(operation) {}
  ~PendingOperation() {
    if (pa_operation_get_state(operation_) == PA_OPERATION_RUNNING) {
      pa_operation_cancel(operation_);
    }
    pa_operation_unref(operation_);
  }
  PendingOperation(const PendingOperation&) = delete;
  PendingOperation& operator=(const PendingOperation&) = delete;

 private:
  pa_operation* operation_;
};

inline std::string notRespondingText(const char* when) {
  return std::string("the sound server is not responding (no answer ") + when + " for " +
         std::to_string(
             std::chrono::duration_cast<std::chrono::seconds>(kServerAnswerTimeout).count()) +
         " s)";
}

// Sets `event` to fire at `at` (at once if that has passed).
inline void restartAt(pa_mainloop_api* api, pa_time_event* event, Clock::time_point at) {
  const auto wait = std::chrono::ceil<std::chrono::microseconds>(
      std::max(at - Clock::now(), Clock::duration::zero()));
  timeval when{};
  api->time_restart(event,
                    pa_timeval_add(pa_gettimeofday(&when), static_cast<pa_usec_t>(wait.count())));
}

// The output device the stream was sent to is not there: the client library sends a stream to
// the device PULSE_SINK names, if any.
inline SoundDeviceMissing deviceMissingError() {
  const char* device = std::getenv("PULSE_SINK");
  if (device == nullptr || *device == '\0') {
    return SoundDeviceMissing("the sound server has no output device to play on");
  }
  return SoundDeviceMissing(std::string("the output device \"") + device +
                            "\" (PULSE_SINK) does not exist on the sound server; \"pactl list "
                            "short sinks\" lists the devices");
}

// Callbacks due once what was queued before them has been heard, called in the order they were
// added by a time event of the loop. Used on the loop thread, or with its lock held.
class HeardMarks {
 public:
  explicit HeardMarks(pa_mainloop_api* api) : api_(api) {}

  void start() { event_ = api_->time_new(api_, nullptr, &HeardMarks::onTime, this); }
  void stop() { api_->time_free(event_); }

  // `heard` is called at `due`, or later when one added before it is due later.
  void add(Clock::time_point due, std::function<void()> heard) {
    if (!marks_.empty()) {
      due = std::max(due, marks_.back().due);
    }
    marks_.push_back({due, std::move(heard)});
    if (marks_.size() == 1) {
      call(false);
    }
  }

  // Calls every mark now: all has been heard, or nothing more will be.
  void callAll() { call(true); }

 private:
  struct Mark {
    Clock::time_point due;
    std::function<void()> heard;
  };

  static void onTime(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                     const struct timeval* /*when*/, void* self) {
    static_cast<HeardMarks*>(self)->call(false);
  }

  // Calls the marks that are due (all of them when `all`), in order, and sets the event for the
  // next.
  void call(bool all) {
    while (!marks_.empty() && (all || marks_.front().due <= Clock::now())) {
      const std::function<void()> heard = std::move(marks_.front().heard);
      marks_.pop_front();
      heard();
    }
    if (!marks_.empty()) {
      restartAt(api_, event_, marks_.front().due);
    }
  }

  pa_mainloop_api* api_;
  pa_time_event* event_ = nullptr;
  std::deque<Mark> marks_;
};

}  // namespace bitoner::pulse
