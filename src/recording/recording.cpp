// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/recording.h"

#include <algorithm>
#include <bit>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>

#include "engine/keying_steps.h"
#include "engine/parameters.h"
#include "recording/version.h"

namespace bitoner {

namespace {

// The message as it stands for the whole run; Loop set exactly when passes are asked for.
class FixedInput : public KeyingInput {
 public:
  FixedInput(std::u32string_view message, bool loop) : message_(message), loop_(loop) {}
  std::size_t messageLength() const override { return message_.size(); }
  char32_t messageAt(std::size_t index) const override { return message_[index]; }
  bool loop() const override { return loop_; }

 private:
  std::u32string_view message_;
  bool loop_;
};

constexpr std::string_view kLoopIdleLabel = "loop idle";

std::string dotsAndDashes(std::string_view pattern) {
  std::string shown(pattern);
  std::replace(shown.begin(), shown.end(), '0', '.');
  std::replace(shown.begin(), shown.end(), '1', '-');
  return shown;
}

}  // namespace

void walkRecording(const ToneBank& tones, std::u32string_view message, std::int64_t loopPasses,
                   const std::function<bool(Tone)>& play,
                   const std::function<void(const Segment&)>& segment) {
  const FixedInput input(message, loopPasses > 0);
  KeyingSteps steps(input);
  std::int64_t at = 0;
  std::optional<Segment> open;
  const auto close = [&] {
    if (open && at > open->start) {
      open->count = at - open->start;
      segment(*open);
    }
    open.reset();
  };
  while (const std::optional<KeyingStep> step = steps.next()) {
    switch (step->kind) {
      case KeyingStep::Kind::PassStart:
        if (loopPasses > 0 && step->pass > loopPasses) {
          close();
          return;
        }
        break;
      case KeyingStep::Kind::CharacterStart:
      case KeyingStep::Kind::LoopIdle:
        close();
        open = Segment{};
        open->start = at;
        if (step->kind == KeyingStep::Kind::LoopIdle) {
          open->kind = Segment::Kind::LoopIdle;
        } else {
          open->character = step->character;
          open->pattern = step->pattern;
        }
        break;
      case KeyingStep::Kind::Play: {
        const std::int64_t frames = tones.frames(step->tone);
        if (open && frames > 0) {
          open->sounds[static_cast<std::size_t>(step->tone)] = true;
        }
        if (!play(step->tone)) {
          return;
        }
        at += frames;
        break;
      }
      case KeyingStep::Kind::Show:
      case KeyingStep::Kind::ClearDisplay:
      case KeyingStep::Kind::Checkpoint:
        throwIfInterrupted();
        break;
    }
  }
  close();
}

std::int64_t tailFrames(const ToneBank& tones) {
  return tones.smooth() ? tones.smooth()->rampFrames : 0;
}

FrameWriter::FrameWriter(const ToneBank& tones, OutputFile& out, SampleFormat format)
    : tones_(tones), out_(out), format_(format) {
  if (tones.smooth()) {
    smooth_.emplace(tones, *tones.smooth());
  }
}

void FrameWriter::writeFrames(Tone tone, std::int64_t first, std::size_t count) {
  if (format_ == SampleFormat::Cf32) {
    const std::span<float> samples(floatChunk_.data(), count * kChannels);
    smooth_ ? smooth_->render(samples) : tones_.read(tone, first, samples);
    if constexpr (std::endian::native == std::endian::big) {
      for (float& sample : samples) {
        sample = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<std::uint32_t>(sample)));
      }
    }
    out_.write(std::as_bytes(samples));
    return;
  }
  const std::span<std::int16_t> samples(chunk_.data(), count * kChannels);
  smooth_ ? smooth_->render(samples) : tones_.read(tone, first, samples);
  if constexpr (std::endian::native == std::endian::big) {
    for (std::int16_t& sample : samples) {
      sample = static_cast<std::int16_t>(std::rotl(static_cast<std::uint16_t>(sample), 8));
    }
  }
  out_.write(std::as_bytes(samples));
}

void FrameWriter::play(Tone tone) {
  const std::int64_t total = tones_.frames(tone);
  // A hard tone kept in memory is already the file's bytes on a little-endian machine: one write.
  if (const std::span<const std::int16_t> kept = tones_.keptFrames(tone);
      std::endian::native == std::endian::little && !smooth_ && format_ == SampleFormat::Ci16 &&
      !kept.empty()) {
    throwIfInterrupted();
    out_.write(std::as_bytes(kept));
    frames_ += total;
    return;
  }
  if (smooth_) {
    smooth_->begin(tone);
  }
  for (std::int64_t first = 0; first < total;) {
    throwIfInterrupted();
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
    writeFrames(tone, first, count);
    first += static_cast<std::int64_t>(count);
  }
  frames_ += total;
}

void FrameWriter::finish() {
  if (!smooth_) {
    return;
  }
  const std::int64_t total = smooth_->rampOut();
  for (std::int64_t first = 0; first < total;) {
    throwIfInterrupted();
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
    writeFrames(Tone::Idle, first, count);
    first += static_cast<std::int64_t>(count);
  }
  frames_ += total;
}

SigmfMetaWriter::SigmfMetaWriter(OutputFile& out, const ToneInputs& tones,
                                 std::optional<double> frequencyHz,
                                 const std::optional<NoisePlan>& noise)
    : out_(out), tones_(tones), noise_(noise) {
  const double sign = tones.invert ? -1.0 : 1.0;
  frequencyHz_[static_cast<std::size_t>(Tone::Idle)] = sign * readNumber(tones.idleFreqText);
  frequencyHz_[static_cast<std::size_t>(Tone::Gap)] = sign * readNumber(tones.idleFreqText);
  frequencyHz_[static_cast<std::size_t>(Tone::Dot)] = sign * readNumber(tones.dotFreqText);
  frequencyHz_[static_cast<std::size_t>(Tone::Dash)] = sign * readNumber(tones.dashFreqText);
  for (double& f : frequencyHz_) {
    f += frequencyHz.value_or(0.0);
  }
  out_.write(std::string("{\n\"annotations\": ["));
}

void SigmfMetaWriter::annotate(const Segment& segment) {
  nlohmann::ordered_json annotation{
      {"core:sample_start", segment.start},
      {"core:sample_count", segment.count},
  };
  if (segment.kind == Segment::Kind::LoopIdle) {
    annotation["core:label"] = kLoopIdleLabel;
  } else {
    annotation["core:label"] = toUtf8(std::u32string(1, segment.character));
    annotation["core:comment"] = dotsAndDashes(segment.pattern);
  }
  std::optional<double> lowest;
  std::optional<double> highest;
  for (const Tone tone : kTones) {
    if (segment.sounds[static_cast<std::size_t>(tone)]) {
      const double f = frequencyHz_[static_cast<std::size_t>(tone)];
      lowest = std::min(lowest.value_or(f), f);
      highest = std::max(highest.value_or(f), f);
    }
  }
  if (lowest && highest) {
    annotation["core:freq_lower_edge"] = *lowest;
    annotation["core:freq_upper_edge"] = *highest;
  }
  out_.write((first_ ? "\n" : ",\n") + annotation.dump());
  first_ = false;
}

void SigmfMetaWriter::finish(const SigmfCapture& capture, const std::string& description) {
  nlohmann::ordered_json captureObject{{"core:sample_start", 0}};
  if (capture.frequencyHz) {
    captureObject["core:frequency"] = *capture.frequencyHz;
  }
  captureObject["core:datetime"] = capture.datetime;

  nlohmann::ordered_json global{
      {"core:datatype", capture.format == SampleFormat::Cf32 ? "cf32_le" : "ci16_le"},
      {"core:sample_rate", tones_.Fsample},
      {"core:version", kSigmfVersion},
      {"core:num_channels", 1},
      {"core:sha512", capture.sha512},
      {"core:description", description},
      {"core:recorder", "Bitoner " + std::string(programVersion())},
      {"core:extensions",
       nlohmann::ordered_json::array(
           {{{"name", "bitoner"}, {"version", kSigmfExtensionVersion}, {"optional", true}}})},
      {"bitoner:shape", tones_.smooth ? "smooth" : "hard"},
      {"bitoner:symbol_length", tones_.SymbolLength},
      {"bitoner:gap_length", tones_.InterSymbol},
      {"bitoner:ppm", tones_.ppm},
  };
  if (noise_) {
    global["bitoner:snr_db"] = noise_->snrDb;
    global["bitoner:snr_bandwidth_hz"] = kSnrBandwidthHz;
    global["bitoner:noise_seed"] = noise_->seed;
    global["bitoner:scale"] = noise_->scale;
  }
  if (tones_.smooth) {
    const double rate = tones_.Fsample;
    global["bitoner:glide_length"] = static_cast<double>(tones_.smooth->glideFrames) / rate;
    global["bitoner:ramp_length"] = static_cast<double>(tones_.smooth->rampFrames) / rate;
  }
  out_.write(std::string(first_ ? "],\n" : "\n],\n") +
             "\"captures\": " + nlohmann::ordered_json::array({captureObject}).dump() +
             ",\n\"global\": " + global.dump(1) + "\n}\n");
}

}  // namespace bitoner
