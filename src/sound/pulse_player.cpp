// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/pulse_player.h"

#include <pulse/error.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "engine/parameters.h"
#include "engine/smooth.h"
#include "sound/pulse_support.h"

namespace bitoner {
// The client library's handles and the stream's shape.
using namespace pulse;

struct PulsePlayer::Impl {
  // A play not yet wholly handed to the server.
  struct Pending {
    Tone tone;
    bool rampOut;         // the fall to silence that ends a smooth transmission, not the tone
    std::int64_t next;    // first frame not yet written
    std::int64_t frames;  // the tone's length
    std::uint64_t number;
  };

  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
  // Wakes a waiting call at its deadline; armed only while a call waits, for the earliest
  // deadline, so a long play costs no periodic wake-ups.
  pa_time_event* tick = nullptr;
  bool tickArmed = false;
  Clock::time_point tickAt;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  HeardMarks marks{api};

  // Shared with the loop thread, under its lock.
  std::shared_ptr<const ToneBank> tones;
  const Buffering* buffering = &kShortTones;
  std::optional<SmoothSynth> smooth;  // the transmission under way, when the tones are smooth
  std::int32_t streamRateHz = 0;
  std::deque<Pending> pending;
  std::uint64_t playsQueued = 0;
  std::uint64_t playsWritten = 0;
  Clock::time_point lastWrite;
  bool corked = true;
  bool drainDone = false;
  bool drainSucceeded = false;
  // Timing requests sent and answered (the server answers in order), and those sent before the
  // stream last started playing, whose answers tell nothing of the run.
  std::uint64_t timingAsked = 0;
  std::uint64_t timingAnswered = 0;
  std::uint64_t timingAskedBeforeStart = 0;
  std::optional<Clock::time_point> timingAskedAt;  // none since the stream last started playing
  bool draining = false;
  std::uint64_t underruns = 0;
  std::string description = kDefaultDescription;

  Impl() {
    pa_threaded_mainloop_start(loop);
    const LoopLock lock(loop);
    tick = api->time_new(api, nullptr, &Impl::onTick, this);
    marks.start();
  }

  ~Impl() {
    {
      const LoopLock lock(loop);
      teardown();
      api->time_free(tick);
      marks.stop();
    }
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // --- Called on the loop thread. -------------------------------------------------------------

  static void onStateChange(pa_context* /*context*/, void* self) {
    pa_threaded_mainloop_signal(static_cast<Impl*>(self)->loop, 0);
  }
  static void onStreamStateChange(pa_stream* /*stream*/, void* self) {
    pa_threaded_mainloop_signal(static_cast<Impl*>(self)->loop, 0);
  }
  static void onWritable(pa_stream* /*stream*/, std::size_t /*bytes*/, void* self) {
    static_cast<Impl*>(self)->feed();
  }
  static void onDrained(pa_stream* /*stream*/, int success, void* self) {
    auto* impl = static_cast<Impl*>(self);
    impl->drainDone = true;
    impl->drainSucceeded = success != 0;
    pa_threaded_mainloop_signal(impl->loop, 0);
  }
  static void onTimingAnswered(pa_stream* /*stream*/, int /*success*/, void* self) {
    auto* impl = static_cast<Impl*>(self);
    ++impl->timingAnswered;
    pa_threaded_mainloop_signal(impl->loop, 0);
  }
  // The server ran out of samples while more were to come: the signal has a gap. Its running out
  // at the end of a run is no gap.
  static void onUnderflow(pa_stream* /*stream*/, void* self) {
    auto* impl = static_cast<Impl*>(self);
    if (!impl->draining) {
      ++impl->underruns;
    }
  }
  static void onTick(pa_mainloop_api* /*api*/, pa_time_event* /*event*/,
                     const struct timeval* /*when*/, void* self) {
    auto* impl = static_cast<Impl*>(self);
    impl->tickArmed = false;
    pa_threaded_mainloop_signal(impl->loop, 0);
  }

  // Hands the server as much of the pending plays as it has room for. Runs whenever the server
  // asks for more and when a play arrives; the loop's lock is held either way. Wakes the waiting
  // call only when a play has been handed over whole, which is all it waits for.
  void feed() {
    if (stream == nullptr || pa_stream_get_state(stream) != PA_STREAM_READY) {
      return;
    }
    std::size_t room = pa_stream_writable_size(stream);
    if (room == static_cast<std::size_t>(-1)) {
      return;  // the stream failed: its state callback wakes the waiters
    }
    bool wrote = false;
    const std::uint64_t writtenBefore = playsWritten;
    while (!pending.empty()) {
      Pending& play = pending.front();
      if (play.next == play.frames) {
        playsWritten = play.number;
        pending.pop_front();
        continue;
      }
      auto count = std::min(play.frames - play.next, static_cast<std::int64_t>(room / kFrameBytes));
      if (count == 0) {
        break;
      }
      void* data = nullptr;
      std::size_t bytes = static_cast<std::size_t>(count) * kFrameBytes;
      if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr) {
        break;
      }
      count = std::min(count, static_cast<std::int64_t>(bytes / kFrameBytes));
      if (count == 0) {
        pa_stream_cancel_write(stream);
        break;
      }
      bytes = static_cast<std::size_t>(count) * kFrameBytes;
      const std::span<std::int16_t> samples(static_cast<std::int16_t*>(data), bytes / 2);
      if (smooth) {
        if (play.next == 0) {
          play.rampOut ? smooth->rampOut() : smooth->begin(play.tone);
        }
        smooth->render(samples);
      } else {
        tones->read(play.tone, play.next, samples);
      }
      if (pa_stream_write(stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
        break;
      }
      play.next += count;
      room -= bytes;
      wrote = true;
    }
    if (wrote) {
      lastWrite = Clock::now();
    }
    if (playsWritten != writtenBefore) {
      pa_threaded_mainloop_signal(loop, 0);
    }
  }

  // Makes sure the tick fires no later than `deadline`.
  void armTick(Clock::time_point deadline) {
    if (tickArmed && tickAt <= deadline) {
      return;
    }
    restartAt(api, tick, deadline);
    tickArmed = true;
    tickAt = deadline;
  }

  // --- Called by the player's user, with the loop's lock held. --------------------------------

  // Drops the connection without waiting for the server, which may not answer.
  void teardown() {
    marks.callAll();  // nothing more will be heard
    pending.clear();
    corked = true;
    timingAsked = timingAnswered = timingAskedBeforeStart = 0;  // unanswered ones are cancelled
    if (stream != nullptr) {
      pa_stream_set_state_callback(stream, nullptr, nullptr);
      pa_stream_set_write_callback(stream, nullptr, nullptr);
      pa_stream_set_underflow_callback(stream, nullptr, nullptr);
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
      stream = nullptr;
    }
    if (context != nullptr) {
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_disconnect(context);
      pa_context_unref(context);
      context = nullptr;
    }
  }

  [[noreturn]] void fail(const std::string& reason) {
    teardown();
    throw SoundError(reason);
  }

  [[noreturn]] void lost() {
    fail(std::string("sound server lost: ") + pa_strerror(pa_context_errno(context)));
  }

  [[noreturn]] void deviceMissing() {
    teardown();
    throw deviceMissingError();
  }

  [[noreturn]] void notResponding(const char* when) {
    teardown();
    throw SoundServerNotResponding(notRespondingText(when));
  }

  bool connected() const {
    return context != nullptr && stream != nullptr &&
           pa_context_get_state(context) == PA_CONTEXT_READY &&
           pa_stream_get_state(stream) == PA_STREAM_READY;
  }

  void checkConnected() {
    if (context == nullptr || stream == nullptr) {
      throw SoundError("sound server lost: no stream is open");
    }
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
        !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
      lost();
    }
  }

  // Waits until `done()`, the server lost, or the deadline `deadline()` has passed (the deadline
  // may move, e.g. with each write).
  template <typename Done, typename Deadline>
  void waitFor(Done done, Deadline deadline, const char* when) {
    while (!done()) {
      if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
          (stream != nullptr && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))) {
        return;  // the caller looks at the state
      }
      const Clock::time_point until = deadline();
      if (Clock::now() >= until) {
        notResponding(when);
      }
      armTick(until);
      pa_threaded_mainloop_wait(loop);
    }
  }

  void setStreamProperties(Proplist& properties) const {
    properties.set(PA_PROP_MEDIA_ROLE, "production").set(PA_PROP_MEDIA_NAME, description);
  }

  void connect() {
    teardown();
    Proplist application;
    application.set(PA_PROP_APPLICATION_NAME, "Bitoner")
        .set(PA_PROP_APPLICATION_ID, "bitoner")
        .set(PA_PROP_APPLICATION_ICON_NAME, "bitoner");
    context = pa_context_new_with_proplist(api, "Bitoner", application.get());
    if (context == nullptr) {
      throw SoundError("sound server unreachable: cannot make a connection");
    }
    pa_context_set_state_callback(context, &Impl::onStateChange, this);
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) {
      fail(std::string("sound server unreachable: ") + pa_strerror(pa_context_errno(context)));
    }
    const Clock::time_point deadline = Clock::now() + kServerAnswerTimeout;
    const auto until = [deadline] { return deadline; };
    waitFor([this] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, until,
            "to the connection");
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
      fail(std::string("sound server unreachable: ") + pa_strerror(pa_context_errno(context)));
    }

    Proplist properties;
    setStreamProperties(properties);
    const pa_sample_spec format = toneFormat(tones->sampleRateHz());
    stream = pa_stream_new_with_proplist(context, description.c_str(), &format, nullptr,
                                         properties.get());
    if (stream == nullptr) {
      lost();
    }
    pa_stream_set_state_callback(stream, &Impl::onStreamStateChange, this);
    pa_stream_set_write_callback(stream, &Impl::onWritable, this);
    pa_stream_set_underflow_callback(stream, &Impl::onUnderflow, this);
    const pa_buffer_attr attr = bufferAttr(*buffering, format);
    const auto flags =
        // No automatic timing updates: they would wake the loop about once a second for a figure
        // only a schedule asks for, now and then (queuedMicroseconds() asks the server itself).
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_START_CORKED);
    if (pa_stream_connect_playback(stream, nullptr, &attr, flags, nullptr, nullptr) < 0) {
      lost();
    }
    waitFor([this] { return pa_stream_get_state(stream) == PA_STREAM_READY; }, until,
            "to the connection");
    if (pa_stream_get_state(stream) != PA_STREAM_READY) {
      if (pa_context_errno(context) == PA_ERR_NOENTITY) {
        deviceMissing();
      }
      lost();
    }
    streamRateHz = tones->sampleRateHz();
    corked = true;
  }

  void queue(Tone tone, bool rampOut, std::int64_t frames) {
    pending.push_back({tone, rampOut, 0, frames, ++playsQueued});
  }

  std::uint64_t pendingMicroseconds() const {
    std::int64_t frames = 0;
    for (const Pending& play : pending) {
      frames += play.frames - play.next;
    }
    return static_cast<std::uint64_t>(frames) * kMicrosecondsPerSecond /
           static_cast<std::uint64_t>(streamRateHz);
  }

  std::optional<std::uint64_t> queuedMicroseconds() {
    if (stream == nullptr || corked) {
      return 0;
    }
    checkConnected();
    // Between answers the client library carries the figure forward by the clock and by what is
    // written, so a schedule asking before every short symbol costs one round trip a second.
    // Only the run's first figure is waited for: waiting for every answer from a server slow to
    // answer under load held up the plays that keep its queue from running dry.
    const bool awaited = timingAsked > std::max(timingAnswered, timingAskedBeforeStart);
    if (!awaited && (!timingAskedAt || Clock::now() - *timingAskedAt >= kTimingFreshFor)) {
      pa_operation* update = pa_stream_update_timing_info(stream, &Impl::onTimingAnswered, this);
      if (update == nullptr) {
        lost();
      }
      pa_operation_unref(update);  // disconnecting the stream cancels it
      ++timingAsked;
      timingAskedAt = Clock::now();
    }
    if (timingAnswered <= timingAskedBeforeStart) {
      const Clock::time_point deadline = Clock::now() + kServerAnswerTimeout;
      waitFor([this] { return timingAnswered > timingAskedBeforeStart; },
              [deadline] { return deadline; }, "to a timing request");
      checkConnected();
    }
    pa_usec_t latency = 0;
    int negative = 0;
    if (pa_stream_get_latency(stream, &latency, &negative) < 0) {
      if (pa_context_errno(context) != PA_ERR_NODATA) {
        lost();
      }
      return std::nullopt;  // just after the stream started: the server has not told yet
    }
    return (negative != 0 ? 0 : latency) + pendingMicroseconds();
  }
};

PulsePlayer::PulsePlayer() : impl_(std::make_unique<Impl>()) {}

PulsePlayer::~PulsePlayer() = default;

void PulsePlayer::describe(const std::string& what) {
  const LoopLock lock(impl_->loop);
  impl_->description = what.empty() ? kDefaultDescription : what;
  if (impl_->connected()) {
    Proplist properties;
    impl_->setStreamProperties(properties);
    if (pa_operation* update = pa_stream_proplist_update(impl_->stream, PA_UPDATE_REPLACE,
                                                         properties.get(), nullptr, nullptr)) {
      pa_operation_unref(update);
    }
  }
}

void PulsePlayer::open(std::shared_ptr<const ToneBank> tones) {
  const LoopLock lock(impl_->loop);
  const Buffering& buffering = bufferingFor(tones);
  impl_->tones = std::move(tones);
  impl_->pending.clear();
  impl_->smooth.reset();
  if (!impl_->connected() || impl_->streamRateHz != impl_->tones->sampleRateHz()) {
    impl_->buffering = &buffering;
    impl_->connect();  // the first run, the server went away since the last, or a new rate
  } else if (impl_->buffering != &buffering) {
    // Between runs nothing is queued: the server takes the new sizes before the first play.
    impl_->buffering = &buffering;
    const pa_sample_spec format = toneFormat(impl_->streamRateHz);
    const pa_buffer_attr attr = bufferAttr(buffering, format);
    if (pa_operation* change = pa_stream_set_buffer_attr(impl_->stream, &attr, nullptr, nullptr)) {
      pa_operation_unref(change);
    }
  }
}

void PulsePlayer::play(Tone tone) { playPart(tone, std::numeric_limits<std::int64_t>::max()); }

void PulsePlayer::playPart(Tone tone, std::int64_t frames) {
  Impl& impl = *impl_;
  const LoopLock lock(impl.loop);
  impl.checkConnected();
  if (!impl.tones) {
    throw SoundError("sound server lost: no stream is open");
  }
  if (impl.tones->smooth() && !impl.smooth) {
    impl.smooth.emplace(*impl.tones, *impl.tones->smooth());  // a transmission begins
  }
  impl.queue(tone, false, std::clamp<std::int64_t>(frames, 0, impl.tones->frames(tone)));
  if (impl.corked) {
    if (pa_operation* uncork = pa_stream_cork(impl.stream, 0, nullptr, nullptr)) {
      pa_operation_unref(uncork);
    }
    impl.corked = false;
    impl.draining = false;
    impl.timingAskedAt.reset();
    impl.timingAskedBeforeStart = impl.timingAsked;
  }
  // The server is judged by how long it has not taken any audio, not by how long this play is.
  impl.lastWrite = Clock::now();
  impl.feed();
  const std::uint64_t number = impl.playsQueued;
  impl.waitFor([&impl, number] { return impl.playsWritten >= number; },
               [&impl] { return impl.lastWrite + kServerAnswerTimeout; }, "to the audio");
  impl.checkConnected();
}

void PulsePlayer::drain() {
  Impl& impl = *impl_;
  const LoopLock lock(impl.loop);
  if (impl.stream == nullptr) {
    return;
  }
  impl.checkConnected();
  if (impl.corked) {
    return;  // nothing was played since the last drain
  }
  if (impl.smooth) {
    // A smooth transmission leaves the air on a ramp, never with a step.
    impl.queue(Tone::Idle, true, impl.tones->smooth()->rampFrames);
    impl.feed();
  }
  impl.waitFor([&impl] { return impl.pending.empty(); },
               [&impl] { return impl.lastWrite + kServerAnswerTimeout; }, "to the audio");
  impl.checkConnected();

  impl.draining = true;
  impl.drainDone = false;
  pa_operation* operation = pa_stream_drain(impl.stream, &Impl::onDrained, &impl);
  if (operation == nullptr) {
    impl.lost();
  }
  const Clock::time_point deadline = Clock::now() +
                                     std::chrono::microseconds(impl.queuedMicroseconds().value_or(
                                         kQueuedTargetMs * kMicrosecondsPerMillisecond)) +
                                     kServerAnswerTimeout;
  const PendingOperation release(operation);
  impl.waitFor([&impl] { return impl.drainDone; }, [deadline] { return deadline; },
               "to the end of the audio");
  impl.checkConnected();
  if (!impl.drainSucceeded) {
    impl.lost();
  }
  impl.marks.callAll();  // all heard
  impl.smooth.reset();   // the next play starts a new transmission
  // A corked stream lets the sink suspend between runs; the next play uncorks it at once.
  if (pa_operation* cork = pa_stream_cork(impl.stream, 1, nullptr, nullptr)) {
    pa_operation_unref(cork);
  }
  impl.corked = true;
}

std::chrono::microseconds PulsePlayer::latency() {
  // Just after a stream starts the server has not yet said how far it has got; it says so within
  // a few milliseconds, and a schedule is better served by waiting for that than by a guess.
  constexpr int kTries = 40;
  constexpr auto kPause = std::chrono::milliseconds(5);
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (const std::optional<std::uint64_t> queued = queuedMicroseconds()) {
      return std::chrono::microseconds(*queued);
    }
    std::this_thread::sleep_for(kPause);
  }
  return std::chrono::milliseconds(kQueuedTargetMs);
}

std::uint64_t PulsePlayer::underruns() {
  const LoopLock lock(impl_->loop);
  return impl_->underruns;
}

void PulsePlayer::whenHeard(std::function<void()> heard) {
  Impl& impl = *impl_;
  const LoopLock lock(impl.loop);
  if (impl.stream == nullptr || impl.corked) {
    heard();  // nothing is queued
    return;
  }
  const std::uint64_t queued = impl.queuedMicroseconds().value_or(
      impl.pendingMicroseconds() + kQueuedTargetMs * kMicrosecondsPerMillisecond);
  impl.marks.add(Clock::now() + std::chrono::microseconds(queued), std::move(heard));
}

std::optional<std::uint64_t> PulsePlayer::queuedMicroseconds() {
  const LoopLock lock(impl_->loop);
  return impl_->queuedMicroseconds();
}

}  // namespace bitoner
