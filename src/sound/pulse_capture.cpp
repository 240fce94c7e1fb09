// SPDX-License-Identifier: GPL-3.0-or-later
#include "sound/pulse_capture.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>

#include <cstring>
#include <thread>

#include "sound/pulse_player.h"

namespace bitoner {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kCaptureChannels = 2;
constexpr std::chrono::milliseconds kPoll{10};
// The server hands over recorded audio about this often.
constexpr std::uint64_t kFragmentMicroseconds = 50'000;

}  // namespace

struct PulseCapture::Impl {
  pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  pa_sample_spec format{};
  // Filled on the loop thread, under its lock.
  std::vector<float> recorded;

  explicit Impl(std::uint32_t rateHz) {
    format = pa_sample_spec{PA_SAMPLE_FLOAT32NE, rateHz, kCaptureChannels};
    if (loop == nullptr || pa_threaded_mainloop_start(loop) < 0) {
      throw SoundError("cannot start the sound server's client");
    }
  }

  ~Impl() {
    pa_threaded_mainloop_lock(loop);
    if (stream != nullptr) {
      pa_stream_disconnect(stream);
      pa_stream_unref(stream);
    }
    if (context != nullptr) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
    pa_threaded_mainloop_unlock(loop);
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  static void onRead(pa_stream* s, std::size_t /*bytes*/, void* self) {
    auto* impl = static_cast<Impl*>(self);
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
      const std::size_t values = bytes / sizeof(float);
      const std::size_t at = impl->recorded.size();
      impl->recorded.resize(at + values, 0.0F);  // a hole in the stream stays silent
      if (data != nullptr) {
        std::memcpy(impl->recorded.data() + at, data, values * sizeof(float));
      }
      pa_stream_drop(s);
    }
  }

  std::string reason() const { return pa_strerror(pa_context_errno(context)); }

  // Polls `ready` under the loop's lock until it holds, the connection fails, or time runs out.
  template <typename Ready, typename Failed>
  void waitUntil(Ready ready, Failed failed, const std::string& what) {
    const Clock::time_point deadline = Clock::now() + kServerAnswerTimeout;
    while (true) {
      pa_threaded_mainloop_lock(loop);
      const bool done = ready();
      const bool broken = failed();
      const std::string why = broken ? reason() : std::string();
      pa_threaded_mainloop_unlock(loop);
      if (done) {
        return;
      }
      if (broken) {
        throw SoundError(what + ": " + why);
      }
      if (Clock::now() > deadline) {
        throw SoundServerNotResponding(what + ": the sound server is not responding");
      }
      std::this_thread::sleep_for(kPoll);
    }
  }
};

PulseCapture::PulseCapture(const std::string& source, std::uint32_t rateHz)
    : impl_(std::make_unique<Impl>(rateHz)) {
  Impl& impl = *impl_;
  pa_threaded_mainloop_lock(impl.loop);
  impl.context = pa_context_new(pa_threaded_mainloop_get_api(impl.loop), "Bitoner decoder");
  const bool started = impl.context != nullptr &&
                       pa_context_connect(impl.context, nullptr, PA_CONTEXT_NOFLAGS, nullptr) >= 0;
  const std::string why = impl.context != nullptr && !started ? impl.reason() : "no memory";
  pa_threaded_mainloop_unlock(impl.loop);
  if (!started) {
    throw SoundError("sound server unreachable: " + why);
  }
  impl.waitUntil([&] { return pa_context_get_state(impl.context) == PA_CONTEXT_READY; },
                 [&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(impl.context)); },
                 "sound server unreachable");

  pa_threaded_mainloop_lock(impl.loop);
  impl.stream = pa_stream_new(impl.context, "Decoder input", &impl.format, nullptr);
  bool connected = impl.stream != nullptr;
  if (connected) {
    pa_stream_set_read_callback(impl.stream, &Impl::onRead, &impl);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize =
        static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentMicroseconds, &impl.format));
    connected = pa_stream_connect_record(impl.stream, source.empty() ? nullptr : source.c_str(),
                                         &attr, PA_STREAM_ADJUST_LATENCY) >= 0;
  }
  const std::string streamWhy = connected ? std::string() : impl.reason();
  pa_threaded_mainloop_unlock(impl.loop);
  const std::string what = "cannot record " + (source.empty() ? std::string("the default source")
                                                              : "\"" + source + "\"");
  if (!connected) {
    throw SoundError(what + ": " + streamWhy);
  }
  impl.waitUntil([&] { return pa_stream_get_state(impl.stream) == PA_STREAM_READY; },
                 [&] {
                   return !PA_STREAM_IS_GOOD(pa_stream_get_state(impl.stream)) ||
                          !PA_CONTEXT_IS_GOOD(pa_context_get_state(impl.context));
                 },
                 what);
}

PulseCapture::~PulseCapture() = default;

void PulseCapture::read(std::vector<std::complex<float>>& out, std::chrono::milliseconds wait) {
  Impl& impl = *impl_;
  const Clock::time_point until = Clock::now() + wait;
  std::vector<float> taken;
  while (true) {
    pa_threaded_mainloop_lock(impl.loop);
    taken.swap(impl.recorded);
    const bool lost = !PA_CONTEXT_IS_GOOD(pa_context_get_state(impl.context)) ||
                      !PA_STREAM_IS_GOOD(pa_stream_get_state(impl.stream));
    const std::string why = lost ? impl.reason() : std::string();
    pa_threaded_mainloop_unlock(impl.loop);
    if (lost) {
      throw SoundError("lost the sound server: " + why);
    }
    if (!taken.empty() || Clock::now() >= until) {
      break;
    }
    std::this_thread::sleep_for(kPoll);
  }
  for (std::size_t k = 0; k + 1 < taken.size(); k += kCaptureChannels) {
    out.emplace_back(taken[k], taken[k + 1]);
  }
}

}  // namespace bitoner
