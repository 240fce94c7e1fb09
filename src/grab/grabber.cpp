// SPDX-License-Identifier: GPL-3.0-or-later
#include "grab/grabber.h"

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
  const double offset = std::chrono::duration<double>(firstSampleAt - frameStart_).count();
  frame_ = std::make_unique<FrameSpectrum>(settings_.span,
                                           std::llround(offset * settings_.span.sampleRateHz));
  decoder_.reset();
  if (settings_.decoding) {
    decoder_ = std::make_unique<decode::Decoder>(*settings_.decoding);
  }
}

void Grabber::close() {
  frame_->finish();
  publishFrame(true);
  frame_.reset();
}

void Grabber::feed(std::span<const std::complex<float>> samples,
                   std::optional<WallClock::time_point> endsAt) {
  const double rate = settings_.span.sampleRateHz;
  const auto startOfRest = [&] {
    return *endsAt - seconds(static_cast<double>(samples.size()) / rate);
  };
  if (!frame_) {
    open(endsAt ? startOfRest() : WallClock::now());
  }
  if (endsAt) {
    const auto expected =
        frameStart_ +
        seconds(static_cast<double>(frame_->firstFrame() + frame_->framesFed()) / rate);
    const auto drift = *endsAt - seconds(static_cast<double>(samples.size()) / rate) - expected;
    if (drift > kClockStep || drift < -kClockStep) {
      const auto at = startOfRest();
      close();
      open(at);
    }
  }
  while (!samples.empty()) {
    const std::int64_t room = frameFrames() - (frame_->firstFrame() + frame_->framesFed());
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
    frame_->feed(samples.first(take));
    if (decoder_) {
      decoder_->feed(samples.first(take));
    }
    samples = samples.subspan(take);
  }
}

void Grabber::publishSoFar() {
  if (frame_) {
    publishFrame(false);
  }
}

void Grabber::finish() {
  if (frame_ && frame_->framesFed() > 0) {
    close();
  }
  frame_.reset();
}

void Grabber::publishFrame(bool complete) {
  const PowerGrid grid = frame_->grid();
  FrameCaption caption;
  caption.title = settings_.title;
  caption.start = frameStart_;
  caption.frameSeconds = settings_.span.frameSeconds;
  caption.lowHz = settings_.span.lowHz;
  caption.highHz = settings_.span.highHz;
  caption.labelOffsetHz = settings_.labelOffsetHz;
  caption.rangeDb = settings_.rangeDb;
  caption.readingLine = decoder_ != nullptr;
  if (decoder_) {
    const decode::Decoded decoded = decoder_->decode();
    if (decoded.found && !decoded.text.empty()) {
      caption.reading = decoded.text;
      const double firstSeconds =
          static_cast<double>(frame_->firstFrame()) / settings_.span.sampleRateHz;
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
  }
  const std::vector<std::byte> png = framePng(grid, caption);
  publish_(frameFileName(settings_.prefix, frameStart_), png);
  publish_(settings_.prefix + "-latest.png", png);
  if (complete && stack_) {
    const PowerGrid stacked = stack_->add(grid);
    caption.note = "stack of " + std::to_string(stack_->frames()) + " frames";
    caption.readingLine = false;
    caption.reading.clear();
    caption.marks.clear();
    const std::vector<std::byte> stackPng = framePng(stacked, caption);
    publish_(frameFileName(settings_.prefix + "-stack", frameStart_), stackPng);
    publish_(settings_.prefix + "-stack-latest.png", stackPng);
  }
}

}  // namespace bitoner::grab
