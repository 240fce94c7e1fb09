// SPDX-License-Identifier: GPL-3.0-or-later
#include "decode/decode_live.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <iostream>
#include <memory>

#include "recording/output_file.h"
#include "signals/stop_signals.h"
#include "sound/pulse_capture.h"

namespace bitoner::decode {

namespace {

// The recording kept for each decoding: long enough for the level, offset and timing to be
// judged from many symbols.
constexpr double kWindowSymbols = 60.0;
constexpr double kShortestWindowSeconds = 30.0;
// A character is decided once this many symbols have followed its end: the longest character
// lasts under eight, so the decoder has seen all of it and what comes next.
constexpr double kDecidedAfterSymbols = 10.0;
// How often the window is decoded again, at most once a symbol.
constexpr double kShortestIntervalSeconds = 0.5;
constexpr std::chrono::milliseconds kReadWait{200};
// How often a lost sound server is tried again, as the beacon tries it.
constexpr std::chrono::milliseconds kRetryEvery{2000};

class LivePrinter {
 public:
  LivePrinter(const DecoderSettings& settings, bool verbose)
      : settings_(settings), verbose_(verbose) {}

  // Decodes the window, which begins `firstFrame` frames into the session, and prints what is
  // decided: everything when `final`.
  void decide(const std::deque<std::complex<float>>& window, std::int64_t firstFrame, bool final) {
    Decoder decoder(settings_);
    std::vector<std::complex<float>> samples(window.begin(), window.end());
    decoder.feed(samples);
    const Decoded decoded = decoder.decode();
    const double rate = settings_.sampleRateHz;
    const double windowStart = static_cast<double>(firstFrame) / rate;
    const double windowEnd = windowStart + static_cast<double>(window.size()) / rate;
    const double symbol = decoded.symbolSeconds;
    for (const DecodedCharacter& c : decoded.characters) {
      const double start = windowStart + c.startSeconds;
      const double end = start + c.seconds;
      if (start < decidedUntil_ - symbol / 2.0) {
        continue;  // printed from an earlier window
      }
      if (!final && end > windowEnd - kDecidedAfterSymbols * symbol) {
        break;
      }
      decidedUntil_ = end;
      if (c.character == U' ') {
        spacePending_ = printedAny_;
        continue;
      }
      if (spacePending_) {
        std::cout << ' ';
        spacePending_ = false;
      }
      std::cout << static_cast<char>(c.character);
      printedAny_ = true;
      if (verbose_) {
        std::cout << std::flush;
        char line[128];
        const auto [at, ec] =
            std::to_chars(line, line + sizeof line, start, std::chars_format::fixed, 3);
        std::cerr << "\nbitoner decode: " << std::string(line, at) << " s  "
                  << static_cast<char>(c.character) << "  confidence " << c.confidence
                  << ", offset " << decoded.offsetHz << " Hz, SNR " << decoded.snrDb << " dB\n";
      }
    }
    std::cout << std::flush;
  }

  // Ends the line of text printed so far, if there is one.
  void endLine() {
    if (printedAny_) {
      std::cout << '\n' << std::flush;
    }
    printedAny_ = false;
    spacePending_ = false;
  }

 private:
  DecoderSettings settings_;
  bool verbose_;
  double decidedUntil_ = 0.0;  // seconds into the session
  bool spacePending_ = false;
  bool printedAny_ = false;
};

// A capture of the source on the sound server once it answers again, after a wait; none while it
// does not (or a signal came during the wait).
std::unique_ptr<PulseCapture> reconnect(const std::string& source, double rate) {
  if (StopSignals::waitFor(kRetryEvery)) {
    return nullptr;
  }
  try {
    auto capture = std::make_unique<PulseCapture>(source, static_cast<std::uint32_t>(rate));
    std::cerr << "bitoner decode: sound server back; decoding again\n";
    return capture;
  } catch (const SoundError&) {
    return nullptr;
  }
}

}  // namespace

void decodeLive(const DecoderSettings& settings, const std::string& source, bool verbose) {
  // A signal only notes that it came: what was heard so far is decided and printed first.
  const StopSignals caught({.interruptCalls = true, .secondEndsProcess = false});
  const Decoder check(settings);  // refuses settings before the server is asked
  const double rate = settings.sampleRateHz;
  auto capture = std::make_unique<PulseCapture>(source, static_cast<std::uint32_t>(rate));
  const double symbol = std::nearbyint(settings.symbolSeconds * rate) / rate;
  const auto windowFrames =
      static_cast<std::size_t>(rate * std::max(kShortestWindowSeconds, kWindowSymbols * symbol));
  const auto intervalFrames =
      static_cast<std::size_t>(rate * std::max(kShortestIntervalSeconds, symbol));

  LivePrinter printer(settings, verbose);
  std::deque<std::complex<float>> window;
  std::int64_t firstFrame = 0;
  std::size_t sinceDecided = 0;
  std::vector<std::complex<float>> chunk;
  while (true) {
    try {
      throwIfInterrupted();
    } catch (const Interrupted& interrupted) {
      printer.decide(window, firstFrame, true);
      std::cout << '\n' << std::flush;
      StopSignals::endBy(interrupted.signal());
    }
    if (!capture) {
      capture = reconnect(source, rate);
      continue;
    }
    chunk.clear();
    try {
      capture->read(chunk, kReadWait);
    } catch (const SoundError& error) {
      std::cerr << "bitoner decode: " << error.what() << "; trying again every "
                << kRetryEvery.count() / 1000 << " s\n";
      capture.reset();
      // What was heard is decided now: what comes after the outage does not follow on from it.
      printer.decide(window, firstFrame, true);
      printer.endLine();
      firstFrame += static_cast<std::int64_t>(window.size());
      window.clear();
      sinceDecided = 0;
      continue;
    }
    window.insert(window.end(), chunk.begin(), chunk.end());
    sinceDecided += chunk.size();
    if (window.size() > windowFrames) {
      const std::size_t drop = window.size() - windowFrames;
      window.erase(window.begin(), window.begin() + static_cast<std::ptrdiff_t>(drop));
      firstFrame += static_cast<std::int64_t>(drop);
    }
    if (sinceDecided >= intervalFrames) {
      sinceDecided = 0;
      printer.decide(window, firstFrame, false);
    }
  }
}

}  // namespace bitoner::decode
