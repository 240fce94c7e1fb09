// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/smooth.h"

#include <cmath>
#include <numbers>

namespace bitoner {

namespace {

// Rises from near 0 to near 1 over `length` frames on a raised cosine, symmetric about the middle;
// sampled at the frames' centres so that no frame sits exactly at either end.
double raisedCosine(std::int64_t at, std::int64_t length) {
  const double x = (static_cast<double>(at) + 0.5) / static_cast<double>(length);
  return 0.5 - 0.5 * std::cos(std::numbers::pi * x);
}

}  // namespace

SmoothSynth::SmoothSynth(const ToneBank& tones, SmoothShape shape)
    : amplitude_(tones.amplitude()), qSign_(tones.inverted() ? -1.0 : 1.0), shape_(shape) {
  for (const Tone tone : kTones) {
    steps_[static_cast<std::size_t>(tone)] = tones.plan(tone).step;
    frames_[static_cast<std::size_t>(tone)] = tones.frames(tone);
    silent_[static_cast<std::size_t>(tone)] = tones.silent(tone);
  }
  glideAt_ = shape_.glideFrames;
  keyAt_ = shape_.rampFrames;
}

std::int64_t SmoothSynth::begin(Tone tone) {
  const auto index = static_cast<std::size_t>(tone);
  const bool sounding = !silent_[index];
  const double keyTarget = sounding ? 1.0 : 0.0;
  if (sounding) {
    const double target = steps_[index];
    if (!started_ || keyLevel() == 0.0) {
      step_ = target;  // nothing sounds yet: the tone starts at its own frequency
    }
    glideFrom_ = step_;
    glideTo_ = target;
    glideAt_ = glideFrom_ == glideTo_ ? shape_.glideFrames : 0;
  }
  if (!started_) {
    keyFrom_ = keyTarget;
    keyTo_ = keyTarget;
  } else if (keyTarget != keyTo_) {
    keyFrom_ = keyLevel();
    keyTo_ = keyTarget;
    keyAt_ = 0;
  }
  started_ = true;
  return frames_[index];
}

double SmoothSynth::keyLevel() const {
  if (keyAt_ >= shape_.rampFrames) {
    return keyTo_;
  }
  return keyFrom_ + (keyTo_ - keyFrom_) * raisedCosine(keyAt_, shape_.rampFrames);
}

std::int64_t SmoothSynth::rampOut() {
  rampOutAt_ = 0;
  return shape_.rampFrames;
}

void SmoothSynth::next(double& i, double& q) {
  double level = 1.0;
  if (sent_ < shape_.rampFrames) {
    level = raisedCosine(sent_, shape_.rampFrames);
  }
  if (rampOutAt_ >= 0) {
    level *=
        rampOutAt_ < shape_.rampFrames ? 1.0 - raisedCosine(rampOutAt_, shape_.rampFrames) : 0.0;
    ++rampOutAt_;
  }
  if (keyTo_ != 1.0 || keyAt_ < shape_.rampFrames) {
    level *= keyLevel();
    if (keyAt_ < shape_.rampFrames) {
      ++keyAt_;
    }
  }
  ++sent_;
  const double theta = 2.0 * std::numbers::pi * phase_;
  i = std::cos(theta) * amplitude_ * level;
  q = std::sin(theta) * amplitude_ * level * qSign_;

  // The frequency of the step into the next frame.
  if (glideAt_ < shape_.glideFrames) {
    step_ = glideFrom_ + (glideTo_ - glideFrom_) * raisedCosine(glideAt_, shape_.glideFrames);
    ++glideAt_;
  } else {
    step_ = glideTo_;
  }
  phase_ += step_;
  phase_ -= std::floor(phase_);
}

void SmoothSynth::render(std::span<std::int16_t> out) {
  for (std::size_t k = 0; k + 1 < out.size(); k += kChannels) {
    double i = 0.0;
    double q = 0.0;
    next(i, q);
    out[k] = static_cast<std::int16_t>(std::nearbyint(i));
    out[k + 1] = static_cast<std::int16_t>(std::nearbyint(q));
  }
}

void SmoothSynth::render(std::span<float> out) {
  for (std::size_t k = 0; k + 1 < out.size(); k += kChannels) {
    double i = 0.0;
    double q = 0.0;
    next(i, q);
    out[k] = static_cast<float>(i / kFloatFullScale);
    out[k + 1] = static_cast<float>(q / kFloatFullScale);
  }
}

}  // namespace bitoner
