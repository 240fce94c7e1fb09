// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/live_source.h"

#include <chrono>

#include "cli/outcome.h"
#include "signals/stop_signals.h"
#include "sound/sound_service.h"

namespace bitoner::cli {

namespace {

// How long one read waits for samples, and how often a lost server is tried again.
constexpr std::chrono::milliseconds kReadWait{200};
constexpr std::chrono::milliseconds kRetryEvery{2000};

}  // namespace

LiveSource::LiveSource(std::string command, std::string source, std::uint32_t rateHz,
                       std::string resumed)
    : command_(std::move(command)),
      source_(std::move(source)),
      rateHz_(rateHz),
      resumed_(std::move(resumed)),
      capture_(std::make_unique<PulseCapture>(source_, rateHz_)) {}

LiveSource::~LiveSource() = default;

bool LiveSource::read(std::vector<std::complex<float>>& out) {
  if (!capture_) {
    if (StopSignals::waitFor(kRetryEvery)) {
      return true;
    }
    try {
      capture_ = std::make_unique<PulseCapture>(source_, rateHz_);
      say(command_, "sound server back; " + resumed_);
    } catch (const SoundError&) {
      return true;
    }
  }
  try {
    capture_->read(out, kReadWait);
    return true;
  } catch (const SoundError& error) {
    say(command_, std::string(error.what()) + "; trying again every " +
                      std::to_string(kRetryEvery.count() / 1000) + " s");
    capture_.reset();
    return false;
  }
}

}  // namespace bitoner::cli
