// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/recording.h"

#include <algorithm>
#include <bit>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>

#include "engine/keying_steps.h"
#include "engine/parameters.h"

namespace bitoner::cli {

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

constexpr std::string_view kSigmfVersion = "1.0.0";
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

void FrameWriter::play(Tone tone) {
  const std::int64_t total = tones_.frames(tone);
  // A tone kept in memory is already the file's bytes on a little-endian machine: one write.
  if (const std::span<const std::int16_t> kept = tones_.keptFrames(tone);
      std::endian::native == std::endian::little && !kept.empty()) {
    throwIfInterrupted();
    out_.write(std::as_bytes(kept));
    frames_ += total;
    return;
  }
  for (std::int64_t first = 0; first < total;) {
    throwIfInterrupted();
    const auto count =
        static_cast<std::size_t>(std::min<std::int64_t>(total - first, kChunkFrames));
    const std::span<std::int16_t> samples(chunk_.data(), count * kChannels);
    tones_.read(tone, first, samples);
    if constexpr (std::endian::native == std::endian::big) {
      for (std::int16_t& sample : samples) {
        sample = static_cast<std::int16_t>(std::rotl(static_cast<std::uint16_t>(sample), 8));
      }
    }
    out_.write(std::as_bytes(samples));
    first += static_cast<std::int64_t>(count);
  }
  frames_ += total;
}

SigmfMetaWriter::SigmfMetaWriter(OutputFile& out, const ToneInputs& tones,
                                 const std::string& description,
                                 const std::optional<NoisePlan>& noise)
    : out_(out) {
  const double sign = tones.invert ? -1.0 : 1.0;
  frequencyHz_[static_cast<std::size_t>(Tone::Idle)] = sign * readNumber(tones.idleFreqText);
  frequencyHz_[static_cast<std::size_t>(Tone::Gap)] = sign * readNumber(tones.idleFreqText);
  frequencyHz_[static_cast<std::size_t>(Tone::Dot)] = sign * readNumber(tones.dotFreqText);
  frequencyHz_[static_cast<std::size_t>(Tone::Dash)] = sign * readNumber(tones.dashFreqText);

  nlohmann::ordered_json global{
      {"core:datatype", "ci16_le"},
      {"core:sample_rate", tones.Fsample},
      {"core:version", kSigmfVersion},
      {"core:num_channels", 1},
      {"core:description", description},
      {"core:recorder", std::string("Bitoner ") + BITONER_VERSION},
  };
  if (noise) {
    global["bitoner:snr_db"] = noise->snrDb;
    global["bitoner:snr_bandwidth_hz"] = kSnrBandwidthHz;
    global["bitoner:noise_seed"] = noise->seed;
    global["bitoner:scale"] = noise->scale;
  }
  const nlohmann::ordered_json captures =
      nlohmann::ordered_json::array({{{"core:sample_start", 0}}});
  out_.write("{\n\"global\": " + global.dump(1) + ",\n\"captures\": " + captures.dump() +
             ",\n\"annotations\": [");
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

void SigmfMetaWriter::finish() { out_.write(std::string(first_ ? "]\n}\n" : "\n]\n}\n")); }

}  // namespace bitoner::cli
