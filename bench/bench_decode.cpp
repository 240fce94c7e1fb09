// SPDX-License-Identifier: GPL-3.0-or-later
// How well and how fast `bitoner decode` reads its own signal out of noise: the character error
// rate against the signal-to-noise ratio for callsign-like messages, with an unknown start, level,
// phase and a frequency offset up to +/-2.6 Hz, also drifting (one way or to and fro), beside a
// strong steady carrier and fading; two transmissions in one recording; characters printed for
// hours of noise alone; and the decoding speed in multiples of real time. The noise comes from a
// generator of the benchmark's own (SplitMix64 and the Box-Muller transform), not from `render
// --snr`, so the decoder is not scored on the noise it was built beside.
//
//   bitoner_bench_decode [--quick] [--table FILE] [--curve NAME]... [--snr DB]...
//                        [--passes N] [--noise-hours H] [--messages N] [--no-curves]
//                        [--modes]
//
// prints the table; FILE gets it as columns for gnuplot (SNR, then one CER column per curve).
// --modes measures QRSS, FSKCW and DFCW (tones 5 Hz apart, 1 s gaps at 3 s) through the same
// field instead, with the passes and noise asked for.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <numbers>
#include <span>
#include <string>
#include <vector>

#include "cli/keying_options.h"
#include "decode/character_search.h"
#include "decode/decoder.h"
#include "edit_distance.h"
#include "engine/noise.h"
#include "engine/patterns.h"
#include "engine/tones.h"
#include "recording/recording.h"
#include "scoring.h"
#include "support/keyed_signal.h"

namespace bitoner {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kRateHz = 11025.0;
constexpr double kLargestOffsetHz = 2.6;
constexpr std::size_t kFadingHeldFrames = 32;

std::string callsign(SplitMix& random) {
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  std::string call;
  call += letters[random.below(26)];
  if (random.uniform() < 0.5) {
    call += letters[random.below(26)];
  }
  call += static_cast<char>('0' + random.below(10));
  const std::size_t suffix = 1 + random.below(3);
  for (std::size_t k = 0; k < suffix; ++k) {
    call += letters[random.below(26)];
  }
  return call;
}

std::string message(SplitMix& random) {
  const std::string a = callsign(random);
  const std::string b = callsign(random);
  switch (random.below(4)) {
    case 0:
      return "CQ " + a + " " + a;
    case 1:
      return a + " DE " + b;
    case 2:
      return a + " 5NN " + std::to_string(random.below(40));
    default:
      return b + "/P TU 73";
  }
}

// DFCW as the beacon world keys it: tones 5 Hz apart, a gap of a third of the element.
constexpr double kDfcwDashHz = 1005.0;
constexpr double kDfcwGapShare = 1.0 / 3.0;

// The clean recording of a message as render writes it, as complex values at full scale 1.
std::vector<std::complex<double>> keyed(const std::string& text, const std::string& symbol,
                                        Mode mode) {
  if (mode == Mode::Dfcw) {
    return testing::keyedSignal(text, symbol, mode, "",
                                {{Box::DashFreq, cli::numberText(kDfcwDashHz)},
                                 {Box::Intgap, cli::numberText(100.0 * kDfcwGapShare)}});
  }
  return testing::keyedSignal(text, symbol, mode);
}

// What the air does to the signal besides the noise.
struct Channel {
  double driftHzPerMinute = 0.0;   // either way, chosen at random
  double carrierDb = 0.0;          // a steady carrier this much above the signal; 0 for none
  double carrierFromToneHz = 0.0;  // beside a tone chosen at random (key down), either side
  double fadingSeconds = 0.0;      // Rayleigh fading of about this period; 0 for none
  double wanderSeconds = 0.0;      // the drift turns back this often; 0 for never
};

struct Curve {
  std::string name;
  std::string symbol;
  bool mono;
  Channel channel;
  Mode mode = Mode::ThreeTone;
};

struct Trial {
  std::size_t errors = 0;
  std::size_t sent = 0;
  double audioSeconds = 0.0;
  double decodeSeconds = 0.0;
  double offsetErrorHz = 0.0;
  std::vector<bool> lost;  // per character sent
};

// How often the first and the last character sent are lost, against the characters between.
struct EndsLost {
  std::size_t first = 0;
  std::size_t last = 0;
  std::size_t messages = 0;
  std::size_t between = 0;
  std::size_t betweenSent = 0;

  void add(const std::vector<bool>& lost) {
    if (lost.size() < 3) {
      return;
    }
    first += lost.front() ? 1U : 0U;
    last += lost.back() ? 1U : 0U;
    ++messages;
    between += static_cast<std::size_t>(std::count(lost.begin() + 1, lost.end() - 1, true));
    betweenSent += lost.size() - 2;
  }
  std::string text() const {
    const auto percent = [](std::size_t part, std::size_t whole) {
      return whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole);
    };
    char line[160];
    std::snprintf(line, sizeof line,
                  "first %zu/%zu (%.1f%%), last %zu/%zu (%.1f%%), between %.1f%%", first, messages,
                  percent(first, messages), last, messages, percent(last, messages),
                  percent(between, betweenSent));
    return line;
  }
};

// Slow Rayleigh fading: the sum of many paths of random phase whose Doppler shifts spread up to
// one over the period (Jakes' model), of mean power 1.
class Fading {
 public:
  Fading(double periodSeconds, SplitMix& random) {
    for (std::size_t k = 0; k < kPaths; ++k) {
      hz_[k] = std::cos(kTwoPi * random.uniform()) / periodSeconds;
      phase_[k] = kTwoPi * random.uniform();
    }
  }
  std::complex<double> at(double seconds) const {
    std::complex<double> sum = 0.0;
    for (std::size_t k = 0; k < kPaths; ++k) {
      sum += std::polar(1.0, phase_[k] + kTwoPi * hz_[k] * seconds);
    }
    return sum / std::sqrt(static_cast<double>(kPaths));
  }

 private:
  static constexpr std::size_t kPaths = 16;
  std::array<double, kPaths> hz_{};
  std::array<double, kPaths> phase_{};
};

// What the channel did, for readings told it.
struct Truth {
  std::function<double(double)> level;  // the signal's amplitude over the noise RMS, by time
  std::vector<std::complex<double>> clean;
  std::vector<double> turns;  // the offset's phase at each sample, in cycles
  double sigma = 0.0;         // the noise's RMS per sample
  double steadyLevel = 0.0;   // the level without fading

  // The fading at a time, in dB of its mean power.
  double fadeDb(double seconds) const { return 20.0 * std::log10(level(seconds) / steadyLevel); }
  // Where the signal starts and ends, in seconds.
  double keyed(bool end) const {
    const auto on = [](const std::complex<double>& z) { return std::norm(z) > 0.0; };
    const auto at =
        end ? clean.size() - static_cast<std::size_t>(
                                 std::find_if(clean.rbegin(), clean.rend(), on) - clean.rbegin())
            : static_cast<std::size_t>(std::find_if(clean.begin(), clean.end(), on) -
                                       clean.begin());
    return static_cast<double>(at) / kRateHz;
  }
};

// The decoder told the mode and its nominal tones, as render keys them by default.
decode::DecoderSettings settingsFor(double symbolSeconds, Mode mode) {
  decode::DecoderSettings settings;
  settings.mode = mode;
  settings.symbolSeconds = symbolSeconds;
  settings.gapSeconds = symbolSeconds / 10.0;
  if (hasMorseTiming(mode)) {
    settings.toneHz = {995.0, 1000.0, 1000.0};
  } else if (mode == Mode::Dfcw) {
    settings.toneHz[2] = kDfcwDashHz;
    settings.gapSeconds = symbolSeconds * kDfcwGapShare;
  }
  return settings;
}

// The messages through the channel, `pauseSeconds` of noise apart, with noise before and after,
// a random level, phase and offset and noise at `snrDb` in 2500 Hz over the complex signal;
// mono takes the I channel after. Returns the recording.
std::vector<std::complex<float>> receive(const std::vector<std::string>& texts, const Curve& curve,
                                         double snrDb, double pauseSeconds, SplitMix& random,
                                         double& firstOffsetHz, Truth* truth = nullptr) {
  const double symbolSeconds = std::stod(curve.symbol);
  const double symbolFrames = kRateHz * symbolSeconds;
  const auto before = static_cast<std::size_t>(symbolFrames * (1.0 + 4.0 * random.uniform()));
  std::vector<std::complex<double>> clean(before);
  for (std::size_t k = 0; k < texts.size(); ++k) {
    if (k > 0) {
      clean.resize(clean.size() + static_cast<std::size_t>(pauseSeconds * kRateHz));
    }
    const std::vector<std::complex<double>> one = keyed(texts[k], curve.symbol, curve.mode);
    clean.insert(clean.end(), one.begin(), one.end());
  }
  clean.resize(clean.size() +
               static_cast<std::size_t>(symbolFrames * (1.0 + 4.0 * random.uniform())));
  const double level = std::pow(10.0, -random.uniform());  // 0 to -20 dB
  const double phase = kTwoPi * random.uniform();
  const double offsetHz = kLargestOffsetHz * (2.0 * random.uniform() - 1.0);
  const Channel& channel = curve.channel;
  const double drift = channel.driftHzPerMinute / 60.0 * (random.uniform() < 0.5 ? -1.0 : 1.0);
  // Seconds of drift by a time: straight on, or to and fro from a random place in a leg (drawn
  // only then, so that the other curves keep their draws).
  const double leg = channel.wanderSeconds;
  const double legStart = leg > 0.0 ? leg * random.uniform() : 0.0;
  const auto drifted = [leg, legStart](double t) {
    if (leg <= 0.0) {
      return t;
    }
    const double u = std::fmod(t + legStart, 2.0 * leg);
    return (u < leg ? u : 2.0 * leg - u) - legStart;
  };
  double power = 0.0;
  std::size_t on = 0;
  for (const auto& s : clean) {
    power += std::norm(s);
    on += std::norm(s) > 0.0 ? 1U : 0U;
  }
  power = power / static_cast<double>(on) * level * level;
  const double sigma = noiseSigmaFor(power, snrDb, kRateHz);
  const decode::DecoderSettings settings = settingsFor(symbolSeconds, curve.mode);
  const std::size_t drawn = random.below(3);
  // A tone the mode sounds: key down, or DFCW's dot or dash.
  const std::size_t tone = hasMorseTiming(curve.mode) ? 1
                           : curve.mode == Mode::Dfcw ? 1 + drawn % 2
                                                      : drawn;
  const double carrierHz =
      settings.toneHz[tone] + channel.carrierFromToneHz * (random.uniform() < 0.5 ? -1.0 : 1.0);
  const double carrierAmplitude =
      channel.carrierDb > 0.0 ? std::sqrt(power * std::pow(10.0, channel.carrierDb / 10.0)) : 0.0;
  const double carrierPhase = kTwoPi * random.uniform();
  const Fading fading(channel.fadingSeconds > 0.0 ? channel.fadingSeconds : 1.0, random);

  std::vector<std::complex<float>> received(clean.size());
  double turns = phase / kTwoPi;
  std::complex<double> gain = 1.0;
  for (std::size_t n = 0; n < received.size(); ++n) {
    const double t = static_cast<double>(n) / kRateHz;
    // The fading moves far too slowly to change within a few milliseconds.
    if (channel.fadingSeconds > 0.0 && n % kFadingHeldFrames == 0) {
      gain = fading.at(t);
    }
    std::complex<double> x = sigma * random.gaussian();
    const double f = offsetHz + drift * drifted(t);
    turns = std::fmod(turns + f / kRateHz, 1.0);
    if (truth != nullptr) {
      truth->turns.push_back(turns);
    }
    x += level * clean[n] * std::polar(1.0, kTwoPi * turns) * gain;
    if (carrierAmplitude > 0.0) {
      x += std::polar(carrierAmplitude, carrierPhase + kTwoPi * std::fmod(carrierHz * t, 1.0));
    }
    received[n] = {static_cast<float>(x.real()), curve.mono ? 0.0F : static_cast<float>(x.imag())};
  }
  firstOffsetHz = offsetHz + drift * drifted(static_cast<double>(before) / kRateHz);
  if (truth != nullptr) {
    const double steady = std::sqrt(power) / sigma;
    const bool fades = channel.fadingSeconds > 0.0;
    truth->level = [=](double t) { return steady * (fades ? std::abs(fading.at(t)) : 1.0); };
    truth->clean = std::move(clean);
    truth->sigma = sigma;
    truth->steadyLevel = steady;
  }
  return received;
}

decode::Decoded decodeAll(std::span<const std::complex<float>> received, double symbolSeconds,
                          Mode mode, double& seconds,
                          const std::function<double(double)>& knownLevel = {}) {
  const auto start = std::chrono::steady_clock::now();
  decode::DecoderSettings settings = settingsFor(symbolSeconds, mode);
  settings.knownLevel = knownLevel;
  decode::Decoder decoder(settings);
  decoder.feed(received);
  decode::Decoded decoded = decoder.decode();
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return decoded;
}

// Whether the decoder is told the signal's true level over time, to show what knowing it gains.
bool toldLevel = false;
// Whether each character is read told its timing, the offset and the level instead: the likeliest
// pattern of the count of elements sent, each element weighed between the dot and the dash tone.
// No decoder can know this much; it shows what the noise and the fading leave possible.
bool toldTiming = false;

// The characters of a three-tone message read told the timing, the offset and the level.
std::size_t toldReadingErrors(std::span<const std::complex<float>> received, const Truth& truth,
                              double symbolSeconds) {
  const std::array<double, 3> toneHz = settingsFor(symbolSeconds, Mode::ThreeTone).toneHz;
  const std::vector<std::complex<double>>& clean = truth.clean;
  // Which tone each sample of the clean signal holds: 0 idle, 1 dot, 2 dash; -1 none.
  const auto toneAt = [&](std::size_t n) {
    if (n == 0 || std::norm(clean[n]) == 0.0 || std::norm(clean[n - 1]) == 0.0) {
      return -1;
    }
    const double hz = std::arg(clean[n] * std::conj(clean[n - 1])) / kTwoPi * kRateHz;
    for (std::size_t t = 0; t < toneHz.size(); ++t) {
      if (std::fabs(hz - toneHz[t]) < 50.0) {
        return static_cast<int>(t);
      }
    }
    return -1;
  };
  const auto weight = [&](std::size_t from, std::size_t to, std::size_t tone) {
    std::complex<double> sum = 0.0;
    for (std::size_t n = from; n < to; ++n) {
      sum +=
          std::complex<double>(received[n]) *
          std::polar(1.0, -kTwoPi * std::fmod(truth.turns[n] +
                                                  toneHz[tone] * static_cast<double>(n) / kRateHz,
                                              1.0));
    }
    const double u = truth.level(static_cast<double>(from + to) / 2.0 / kRateHz);
    return decode::logBesselI0(2.0 * u * std::abs(sum) / truth.sigma);
  };
  const PatternTable table = CWchars();
  std::size_t wrong = 0;
  std::string sent;
  std::vector<double> dotOverDash;  // per element of the character so far
  const auto characterEnds = [&] {
    if (sent.empty()) {
      return;
    }
    double best = -1e300;
    std::string_view chosen;
    for (const std::string_view pattern : table) {
      if (pattern.size() != sent.size()) {
        continue;
      }
      double score = 0.0;
      for (std::size_t k = 0; k < pattern.size(); ++k) {
        score += pattern[k] == '0' ? dotOverDash[k] : -dotOverDash[k];
      }
      if (score > best) {
        best = score;
        chosen = pattern;
      }
    }
    wrong += chosen == sent ? 0U : 1U;
    sent.clear();
    dotOverDash.clear();
  };
  const auto symbolFrames = static_cast<std::size_t>(kRateHz * symbolSeconds);
  std::size_t start = 0;
  for (std::size_t n = 1; n <= clean.size(); ++n) {
    const int tone = toneAt(start + 1 < clean.size() ? start + 1 : start);
    if (n < clean.size() && toneAt(n) == tone) {
      continue;
    }
    if (tone == 1 || tone == 2) {
      sent += tone == 1 ? '0' : '1';
      dotOverDash.push_back(weight(start, n, 1) - weight(start, n, 2));
    } else if (n - start > symbolFrames / 2) {
      characterEnds();
    }
    start = n;
  }
  characterEnds();
  return wrong;
}

// One message through the channel.
Trial trial(const std::string& text, const Curve& curve, double snrDb, SplitMix& random) {
  double offsetHz = 0.0;
  Truth truth;
  const std::vector<std::complex<float>> received =
      receive({text}, curve, snrDb, 0.0, random, offsetHz, &truth);
  Trial result;
  if (toldTiming) {
    result.errors = toldReadingErrors(received, truth, std::stod(curve.symbol));
    result.sent = text.size();
    return result;
  }
  const decode::Decoded decoded =
      decodeAll(received, std::stod(curve.symbol), curve.mode, result.decodeSeconds,
                toldLevel ? truth.level : std::function<double(double)>{});
  result.errors = bench::editDistance(text, decoded.text);
  result.lost = bench::lostCharacters(text, decoded.text);
  if (result.errors > 0 && std::getenv("BITONER_BENCH_SHOW") != nullptr) {
    // The fading in the middle of the first element and of the last; how far the track strayed
    // from the true offset in the middle of a character read.
    const double symbolSeconds = std::stod(curve.symbol);
    double strayHz = 0.0;
    for (const decode::DecodedCharacter& c : decoded.characters) {
      const auto n =
          std::min(static_cast<std::size_t>((c.startSeconds + c.seconds / 2.0) * kRateHz),
                   truth.turns.size() - 2);
      const double cycles = truth.turns[n + 1] - truth.turns[n];
      strayHz =
          std::max(strayHz, std::fabs(c.offsetHz - (cycles - std::floor(cycles + 0.5)) * kRateHz));
    }
    std::fprintf(stderr,
                 "%s %.0f dB: sent \"%s\", read \"%s\" (offset %.2f Hz, found %.2f Hz, track up to "
                 "%.2f Hz off, fading %.0f dB at the start, %.0f dB at the end)\n",
                 curve.name.c_str(), snrDb, text.c_str(), decoded.text.c_str(), offsetHz,
                 decoded.offsetHz, strayHz, truth.fadeDb(truth.keyed(false) + symbolSeconds / 2.0),
                 truth.fadeDb(truth.keyed(true) - 1.5 * symbolSeconds));
  }
  result.sent = text.size();
  result.audioSeconds = static_cast<double>(received.size()) / kRateHz;
  result.offsetErrorHz = decoded.offsetHz - offsetHz;
  return result;
}

// Two transmissions a minute apart in one recording, at 3 s symbols and drifting 1 Hz a minute:
// how many recordings read as exactly the two lines sent.
void passes(std::size_t count, double snrDb, Mode mode) {
  SplitMix random(0xBA55ULL);
  SplitMix texts(0x7E575ULL + 1);
  const Curve curve{"passes", "3", false, {1.0, 0.0, 0.0, 0.0}, mode};
  std::size_t exact = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const std::string a = message(texts);
    const std::string b = message(texts);
    double offsetHz = 0.0;
    const std::vector<std::complex<float>> received =
        receive({a, b}, curve, snrDb, 60.0, random, offsetHz);
    double seconds = 0.0;
    const decode::Decoded decoded = decodeAll(received, 3.0, mode, seconds);
    const bool right = decoded.text == a + "\n" + b;
    exact += right ? 1 : 0;
    if (!right && std::getenv("BITONER_BENCH_SHOW") != nullptr) {
      std::fprintf(stderr, "passes: sent \"%s\" and \"%s\", read \"%s\"\n", a.c_str(), b.c_str(),
                   decoded.text.c_str());
    }
  }
  std::printf(
      "%s: two transmissions 60 s apart, 3 s symbols, drift 1 Hz a minute, %.0f dB: %zu of %zu "
      "recordings read as exactly the two lines sent\n",
      std::string(modeName(mode)).c_str(), snrDb, exact, count);
}

// Hours of noise alone, an hour to a recording: the characters printed.
void noiseAlone(double hours, double symbolSeconds, Mode mode) {
  std::size_t characters = 0;
  double spent = 0.0;
  const auto whole = static_cast<std::size_t>(std::ceil(hours));
  for (std::size_t h = 0; h < whole; ++h) {
    SplitMix random(0xA015EULL + h + static_cast<std::uint64_t>(symbolSeconds * 1000.0));
    const double seconds = std::min(1.0, hours - static_cast<double>(h)) * 3600.0;
    decode::Decoder decoder(settingsFor(symbolSeconds, mode));
    std::vector<std::complex<float>> chunk(static_cast<std::size_t>(kRateHz) * 60);
    for (double done = 0.0; done < seconds; done += 60.0) {
      for (auto& x : chunk) {
        x = std::complex<float>(random.gaussian() * 0.1);
      }
      decoder.feed(chunk);
    }
    const auto start = std::chrono::steady_clock::now();
    const decode::Decoded decoded = decoder.decode();
    spent += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (const char c : decoded.text) {
      characters += (c != ' ' && c != '\n') ? 1 : 0;
    }
  }
  std::printf(
      "%s: noise alone, %g s symbols: %zu characters in %g hours (decoding an hour took %.1f "
      "s)\n",
      std::string(modeName(mode)).c_str(), symbolSeconds, characters, hours, spent / hours);
}

// Decoding speed on a 10-minute recording at 3 s symbols with tracking: two passes drifting.
void speed() {
  SplitMix random(0x5BEEDULL);
  const Curve curve{"speed", "3", false, {3.0, 0.0, 0.0, 0.0}};
  double offsetHz = 0.0;
  std::vector<std::complex<float>> received = receive(
      {"VVV DE G3XBM JO01", "CQ CQ DE N0CALL N0CALL K"}, curve, -22.0, 60.0, random, offsetHz);
  SplitMix more(0x5BEEDULL + 1);
  while (received.size() < static_cast<std::size_t>(600.0 * kRateHz)) {
    received.emplace_back(more.gaussian() * 0.01);
  }
  received.resize(static_cast<std::size_t>(600.0 * kRateHz));
  double best = 1e30;
  for (int turn = 0; turn < 3; ++turn) {
    double seconds = 0.0;
    decodeAll(received, 3.0, Mode::ThreeTone, seconds);
    best = std::min(best, seconds);
  }
  std::printf(
      "A 10-minute recording at 11025 Hz, 3 s symbols, tracking: decoded in %.2f s, %.0f "
      "times faster than real time (best of three, one core)\n",
      best, 600.0 / best);
}

// QRSS and FSKCW (3 s dots, 5 Hz shift) through the field: each condition at the SNR of its
// goal, `messages` messages each with its own noise draw, offset and level; then two passes and
// an hour of noise alone.
void fieldOfModes(std::size_t messages, std::size_t passCount, double noiseHours) {
  struct Condition {
    std::string name;
    double snrDb;
    Channel channel;
  };
  const std::vector<Condition> conditions{
      {"steady -25 dB", -25.0, {}},
      {"drift 1 Hz/min -24 dB", -24.0, {1.0, 0.0, 0.0, 0.0}},
      {"carrier +20 dB 2.5 Hz -22", -22.0, {0.0, 20.0, 2.5, 0.0}},
      {"carrier +40 dB 20 Hz -22", -22.0, {0.0, 40.0, 20.0, 0.0}},
      {"fading 20 s -22 dB", -22.0, {0.0, 0.0, 0.0, 20.0}}};
  std::printf("Character error rate, 3 s dots, %zu messages a condition:\n", messages);
  for (const Mode mode : {Mode::Qrss, Mode::Fskcw, Mode::Dfcw}) {
    for (std::size_t c = 0; c < conditions.size(); ++c) {
      SplitMix random(0xF1E1D000ULL + c * 100 + static_cast<std::uint64_t>(mode));
      SplitMix texts(0x7E575ULL);
      const Curve curve{conditions[c].name, "3", false, conditions[c].channel, mode};
      std::size_t errors = 0;
      std::size_t sent = 0;
      EndsLost ends;
      for (std::size_t m = 0; m < messages; ++m) {
        const Trial t = trial(message(texts), curve, conditions[c].snrDb, random);
        errors += t.errors;
        sent += t.sent;
        ends.add(t.lost);
      }
      std::printf("%-6s %-28s %6.2f%% (%zu of %zu characters); lost: %s\n",
                  std::string(modeName(mode)).c_str(), conditions[c].name.c_str(),
                  100.0 * static_cast<double>(errors) / static_cast<double>(sent), errors, sent,
                  ends.text().c_str());
      std::fflush(stdout);
    }
    if (passCount > 0) {
      passes(passCount, -22.0, mode);
    }
    if (noiseHours > 0.0) {
      noiseAlone(noiseHours, 3.0, mode);
    }
  }
}

}  // namespace
}  // namespace bitoner

int main(int argc, char* argv[]) {
  using namespace bitoner;
  bool quick = false;
  std::string tableFile;
  std::vector<std::string> only;
  std::vector<double> onlySnr;
  std::size_t passCount = 0;
  std::size_t messagesGiven = 0;
  double noiseHours = 0.0;
  bool curvesToo = true;
  bool modes = false;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--table" && k + 1 < argc) {
      tableFile = argv[++k];
    } else if (arg == "--snr" && k + 1 < argc) {
      onlySnr.push_back(std::stod(argv[++k]));
    } else if (arg == "--curve" && k + 1 < argc) {
      only.emplace_back(argv[++k]);
    } else if (arg == "--passes" && k + 1 < argc) {
      passCount = std::stoul(argv[++k]);
    } else if (arg == "--noise-hours" && k + 1 < argc) {
      noiseHours = std::stod(argv[++k]);
    } else if (arg == "--messages" && k + 1 < argc) {
      messagesGiven = std::stoul(argv[++k]);
    } else if (arg == "--no-curves") {
      curvesToo = false;
    } else if (arg == "--modes") {
      modes = true;
    } else if (arg == "--told-level") {
      toldLevel = true;
    } else if (arg == "--told-timing") {
      toldTiming = true;
    } else {
      std::cerr << "usage: " << argv[0]
                << " [--quick] [--table FILE] [--curve NAME]... [--snr DB]... [--passes N]"
                   " [--noise-hours H] [--messages N] [--no-curves] [--modes] [--told-level] "
                   "[--told-timing]\n";
      return 2;
    }
  }
  if (modes) {
    fieldOfModes(messagesGiven > 0 ? messagesGiven : 10, passCount, noiseHours);
    return 0;
  }
  if (passCount > 0) {
    passes(passCount, -22.0, Mode::ThreeTone);
  }
  if (noiseHours > 0.0) {
    noiseAlone(noiseHours, 3.0, Mode::ThreeTone);
    noiseAlone(noiseHours, 0.5, Mode::ThreeTone);
  }
  if (!curvesToo) {
    return 0;
  }
  std::vector<Curve> curves{{"3s-iq", "3", false, {}},
                            {"3s-mono", "3", true, {}},
                            {"0.5s-iq", "0.5", false, {}},
                            {"3s-drift1", "3", false, {1.0, 0.0, 0.0, 0.0}},
                            {"3s-drift3", "3", false, {3.0, 0.0, 0.0, 0.0}},
                            {"3s-carrier20", "3", false, {0.0, 20.0, 2.5, 0.0}},
                            {"3s-carrier40", "3", false, {0.0, 40.0, 20.0, 0.0}},
                            {"3s-fading", "3", false, {0.0, 0.0, 0.0, 20.0}},
                            {"3s-fading5", "3", false, {0.0, 0.0, 0.0, 5.0}},
                            {"3s-fading30", "3", false, {0.0, 0.0, 0.0, 30.0}},
                            {"3s-wander2", "3", false, {2.0, 0.0, 0.0, 0.0, 60.0}},
                            {"0.5s-drift6", "0.5", false, {6.0, 0.0, 0.0, 0.0}}};
  // Each curve's draws are seeded by its place in the whole list, so that a curve asked for alone
  // reads the same recordings as in a run of them all.
  std::vector<std::size_t> places(curves.size());
  for (std::size_t c = 0; c < places.size(); ++c) {
    places[c] = c;
  }
  if (!only.empty()) {
    std::erase_if(places, [&](std::size_t c) {
      return std::find(only.begin(), only.end(), curves[c].name) == only.end();
    });
    std::erase_if(curves, [&](const Curve& c) {
      return std::find(only.begin(), only.end(), c.name) == only.end();
    });
  }
  const std::size_t messages = messagesGiven > 0 ? messagesGiven : quick ? 5 : 20;
  std::vector<double> snrs;
  for (double snr = -15.0; snr >= -33.0; snr -= 2.0) {
    snrs.push_back(snr);
  }
  if (!onlySnr.empty()) {
    snrs = onlySnr;
  }

  std::vector<std::vector<double>> cer(snrs.size(), std::vector<double>(curves.size()));
  double audio = 0.0;
  double spent = 0.0;
  std::vector<double> rmsOffsetError(curves.size());  // the worst point's
  std::vector<EndsLost> ends(curves.size());
  std::printf("Character error rate (%zu messages per point)\n%8s", messages, "SNR dB");
  for (const Curve& c : curves) {
    std::printf(" %10s", c.name.c_str());
  }
  std::printf("\n");
  for (std::size_t s = 0; s < snrs.size(); ++s) {
    std::printf("%8.0f", snrs[s]);
    for (std::size_t c = 0; c < curves.size(); ++c) {
      // The same messages, offsets and noise for every point of a curve, seeded by its place.
      SplitMix random(0x5EED0000ULL + places[c] * 1000 + s);
      SplitMix texts(0x7E575ULL);
      std::size_t errors = 0;
      std::size_t sent = 0;
      double offsetError = 0.0;
      for (std::size_t m = 0; m < messages; ++m) {
        const Trial t = trial(message(texts), curves[c], snrs[s], random);
        offsetError += t.offsetErrorHz * t.offsetErrorHz;
        ends[c].add(t.lost);
        errors += t.errors;
        sent += t.sent;
        audio += t.audioSeconds;
        spent += t.decodeSeconds;
      }
      cer[s][c] = static_cast<double>(errors) / static_cast<double>(sent);
      rmsOffsetError[c] =
          std::max(rmsOffsetError[c], std::sqrt(offsetError / static_cast<double>(messages)));
      std::printf(" %9.2f%%", 100.0 * cer[s][c]);
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  std::printf("RMS error of the offset found, at the worst point:");
  for (std::size_t c = 0; c < curves.size(); ++c) {
    std::printf(" %s %.3f Hz", curves[c].name.c_str(), rmsOffsetError[c]);
  }
  std::printf("\n");
  std::printf("Characters lost at a message's ends and between, over all points:\n");
  for (std::size_t c = 0; c < curves.size(); ++c) {
    std::printf("  %s: %s\n", curves[c].name.c_str(), ends[c].text().c_str());
  }
  speed();
  std::printf("Decoding speed: %.0f times real time (%.0f s of recordings in %.1f s, one core)\n",
              audio / spent, audio, spent);
  if (!tableFile.empty()) {
    std::ofstream out(tableFile);
    out << "# snr_db";
    for (const Curve& c : curves) {
      out << ' ' << c.name;
    }
    out << '\n';
    for (std::size_t s = 0; s < snrs.size(); ++s) {
      out << snrs[s];
      for (std::size_t c = 0; c < curves.size(); ++c) {
        out << ' ' << 100.0 * cer[s][c];
      }
      out << '\n';
    }
  }
  return 0;
}
