// SPDX-License-Identifier: GPL-3.0-or-later
#include "grab/grabber.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace bitoner::grab {

namespace {

// A wall clock this far from where the samples say they are has been stepped (or the sound
// server lost samples): the frame ends and the clock's own frame begins.
constexpr std::chrono::seconds kClockStep{5};

WallClock::duration seconds(double value) {
  return std::chrono::duration_cast<WallClock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

void Grabber::addReading(const Stretch& stretch, FrameCaption& caption) const {
  const decode::Decoded decoded = stretch.decoder->decode();
  if (!decoded.found || decoded.text.empty()) {
    return;
  }
  caption.reading += (caption.reading.empty() ? "" : " ") + decoded.text;
  const double firstSeconds =
      static_cast<double>(stretch.spectrum->firstFrame()) / settings_.span.sampleRateHz;
  const double highest = std::max({settings_.decoding->toneHz[0], settings_.decoding->toneHz[1],
                                   settings_.decoding->toneHz[2]}) +
                         decoded.offsetHz;
  for (const decode::DecodedCharacter& c : decoded.characters) {
    if (c.character == U' ') {
      continue;
    }
    const double keyed = std::max(0.0, c.seconds - decoded.symbolSeconds);
    caption.marks.push_back({firstSeconds + c.startSeconds + keyed / 2.0, highest,
                             std::string(1, static_cast<char>(c.character))});
  }
}

Grabber::Grabber(GrabSettings settings, Publish publish)
    : settings_(std::move(settings)), publish_(std::move(publish)) {
  settings_.span.frameSeconds = std::chrono::duration<double>(settings_.clock.length).count();
  checkSpan(settings_.span);
  if (settings_.decoding) {
    const decode::Decoder check(*settings_.decoding);
  }
  if (settings_.stack > 0) {
    stack_.emplace(settings_.stack);
  }
}

Grabber::~Grabber() = default;

std::int64_t Grabber::frameFrames() const {
  return std::llround(settings_.span.frameSeconds * settings_.span.sampleRateHz);
}

void Grabber::start(WallClock::time_point when) { open(when); }

void Grabber::open(WallClock::time_point firstSampleAt) {
  frameStart_ = settings_.clock.frameStart(firstSampleAt);
  if (latestStart_ && frameStart_ <= *latestStart_) {
    ++takes_.try_emplace(frameStart_, 1).first->second;
  } else {
    latestStart_ = frameStart_;
  }
  stretches_.clear();
  addStretch(firstSampleAt);
}

void Grabber::addStretch(WallClock::time_point firstSampleAt) {
  const double offset = std::chrono::duration<double>(firstSampleAt - frameStart_).count();
  Stretch stretch;
  stretch.spectrum = std::make_unique<FrameSpectrum>(
      settings_.span, std::llround(offset * settings_.span.sampleRateHz));
  if (settings_.decoding) {
    stretch.decoder = std::make_unique<decode::Decoder>(*settings_.decoding);
  }
  stretches_.push_back(std::move(stretch));
}

WallClock::time_point Grabber::position() const {
  const FrameSpectrum& last = *stretches_.back().spectrum;
  return frameStart_ + seconds(static_cast<double>(last.firstFrame() + last.framesFed()) /
                               settings_.span.sampleRateHz);
}

// The recording goes on at `at` after a break or a step of the clock. Within the frame being
// drawn and not behind what it holds, the frame keeps what it has and goes on after the gap;
// elsewhere the frame is drawn and the clock's own frame begins, as a new take where the clock
// went back to a frame already begun.
void Grabber::resume(WallClock::time_point at) {
  const auto here = position();
  if (at > here - kClockStep && at < frameStart_ + settings_.clock.length) {
    stretches_.back().spectrum->finish();
    addStretch(std::max(at, here));
  } else {
    close();
    open(at);
  }
}

void Grabber::close() {
  stretches_.back().spectrum->finish();
  publishFrame(true);
  stretches_.clear();
}

void Grabber::feed(std::span<const std::complex<float>> samples,
                   std::optional<WallClock::time_point> endsAt) {
  const double rate = settings_.span.sampleRateHz;
  const auto startOfRest = [&] {
    return *endsAt - seconds(static_cast<double>(samples.size()) / rate);
  };
  if (stretches_.empty()) {
    open(endsAt ? startOfRest() : WallClock::now());
  }
  if (endsAt && !(brokenOff_ && samples.empty())) {
    const auto drift = startOfRest() - position();
    if (brokenOff_ || drift > kClockStep || drift < -kClockStep) {
      resume(startOfRest());
    }
    brokenOff_ = false;
  }
  while (!samples.empty()) {
    Stretch& stretch = stretches_.back();
    const std::int64_t room =
        frameFrames() - (stretch.spectrum->firstFrame() + stretch.spectrum->framesFed());
    if (room <= 0) {
      // The next frame: where the clock says, live, but never the one just closed again.
      const auto next = frameStart_ + settings_.clock.length;
      const auto at = endsAt ? std::max(startOfRest(), next) : next;
      close();
      open(at);
      continue;
    }
    const auto take = static_cast<std::size_t>(
        std::min<std::int64_t>(room, static_cast<std::int64_t>(samples.size())));
    stretch.spectrum->feed(samples.first(take));
    if (stretch.decoder) {
      stretch.decoder->feed(samples.first(take));
    }
    samples = samples.subspan(take);
  }
}

int Grabber::take() const {
  const auto found = takes_.find(frameStart_);
  return found == takes_.end() ? 1 : found->second;
}

std::string Grabber::frameFileName() const {
  return grab::frameFileName(settings_.prefix, frameStart_, take());
}

void Grabber::publishSoFar() {
  if (!stretches_.empty()) {
    publishFrame(false);
  }
}

void Grabber::finish() {
  const bool holdsAny =
      std::any_of(stretches_.begin(), stretches_.end(),
                  [](const Stretch& stretch) { return stretch.spectrum->framesFed() > 0; });
  if (holdsAny) {
    close();
  }
  stretches_.clear();
}

void Grabber::publishFrame(bool complete) {
  PowerGrid grid = stretches_.front().spectrum->grid();
  for (std::size_t i = 1; i < stretches_.size(); ++i) {
    const PowerGrid later = stretches_[i].spectrum->grid();
    for (std::size_t cell = 0; cell < grid.power.size(); ++cell) {
      if (!std::isnan(later.power[cell])) {
        grid.power[cell] = later.power[cell];
      }
    }
  }
  FrameCaption caption;
  caption.title = settings_.title;
  caption.start = frameStart_;
  caption.frameSeconds = settings_.span.frameSeconds;
  caption.lowHz = settings_.span.lowHz;
  caption.highHz = settings_.span.highHz;
  caption.labelOffsetHz = settings_.labelOffsetHz;
  caption.rangeDb = settings_.rangeDb;
  caption.readingLine = settings_.decoding.has_value();
  for (const Stretch& stretch : stretches_) {
    if (stretch.decoder) {
      addReading(stretch, caption);
    }
  }
  const std::vector<std::byte> png = framePng(grid, caption);
  publish_(frameFileName(), png);
  publish_(settings_.prefix + "-latest.png", png);
  if (complete && stack_) {
    const PowerGrid stacked = stack_->add(grid);
    caption.note = "stack of " + std::to_string(stack_->frames()) + " frames";
    caption.readingLine = false;
    caption.reading.clear();
    caption.marks.clear();
    const std::vector<std::byte> stackPng = framePng(stacked, caption);
    publish_(grab::frameFileName(settings_.prefix + "-stack", frameStart_, take()), stackPng);
    publish_(settings_.prefix + "-stack-latest.png", stackPng);
  }
}

}  // namespace bitoner::grab
