// SPDX-License-Identifier: GPL-3.0-or-later
// How well and how fast `bitoner decode` reads its own signal out of noise: the character error
// rate against the signal-to-noise ratio for callsign-like messages, with an unknown start, level,
// phase and a frequency offset up to +/-2.6 Hz, and the decoding speed in multiples of real time.
// The noise comes from a generator of the benchmark's own (SplitMix64 and the Box-Muller
// transform), not from `render --snr`, so the decoder is not scored on the noise it was built
// beside.
//
//   bitoner_bench_decode [--quick] [--table FILE] [--curve NAME]... [--snr DB]...
//
// prints the table; FILE gets it as columns for gnuplot (SNR, then one CER column per curve).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <numbers>
#include <string>
#include <vector>

#include "cli/keying_options.h"
#include "decode/decoder.h"
#include "engine/noise.h"
#include "engine/tones.h"
#include "recording/recording.h"
#include "support/keyed_signal.h"

namespace bitoner {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kRateHz = 11025.0;
constexpr double kLargestOffsetHz = 2.6;

// SplitMix64: a generator unrelated to the Mersenne Twister that render --snr uses.
class SplitMix {
 public:
  explicit SplitMix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31U);
  }
  double uniform() { return static_cast<double>(next() >> 11U) * 0x1p-53; }  // [0, 1)
  std::size_t below(std::size_t n) {
    return static_cast<std::size_t>(uniform() * static_cast<double>(n));
  }
  // A complex normal sample of unit power by Box-Muller's trigonometric form.
  std::complex<double> gaussian() {
    const double u = 1.0 - uniform();  // (0, 1]
    const double radius = std::sqrt(-std::log(u));
    return std::polar(radius, kTwoPi * uniform());
  }

 private:
  std::uint64_t state_;
};

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

std::size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) {
    row[j] = j;
  }
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The clean recording of a message as render writes it, as complex values at full scale 1.
std::vector<std::complex<double>> keyed(const std::string& text, const std::string& symbol) {
  return testing::keyedSignal(text, symbol);
}

struct Curve {
  std::string name;
  std::string symbol;
  bool mono;
};

struct Trial {
  std::size_t errors = 0;
  std::size_t sent = 0;
  double audioSeconds = 0.0;
  double decodeSeconds = 0.0;
  double offsetErrorHz = 0.0;
};

// One message through the channel: noise before and after, a random level, phase and offset,
// noise at `snrDb` in 2500 Hz over the whole complex signal; mono takes the I channel after.
Trial trial(const std::string& text, const Curve& curve, double snrDb, SplitMix& random) {
  const std::vector<std::complex<double>> clean = keyed(text, curve.symbol);
  const double symbolFrames = kRateHz * std::stod(curve.symbol);
  const auto before = static_cast<std::size_t>(symbolFrames * (1.0 + 4.0 * random.uniform()));
  const auto after = static_cast<std::size_t>(symbolFrames * (1.0 + 4.0 * random.uniform()));
  const double level = std::pow(10.0, -random.uniform());  // 0 to -20 dB
  const double phase = kTwoPi * random.uniform();
  const double offsetHz = kLargestOffsetHz * (2.0 * random.uniform() - 1.0);
  double power = 0.0;
  for (const auto& s : clean) {
    power += std::norm(s);
  }
  power = power / static_cast<double>(clean.size()) * level * level;
  const double sigma = noiseSigmaFor(power, snrDb, kRateHz);

  std::vector<std::complex<float>> received(before + clean.size() + after);
  for (std::size_t n = 0; n < received.size(); ++n) {
    std::complex<double> x = sigma * random.gaussian();
    if (n >= before && n < before + clean.size()) {
      x += level * clean[n - before] *
           std::polar(1.0, phase + kTwoPi * offsetHz * static_cast<double>(n) / kRateHz);
    }
    received[n] = {static_cast<float>(x.real()), curve.mono ? 0.0F : static_cast<float>(x.imag())};
  }

  decode::DecoderSettings settings;
  settings.symbolSeconds = std::stod(curve.symbol);
  settings.gapSeconds = settings.symbolSeconds / 10.0;
  const auto start = std::chrono::steady_clock::now();
  decode::Decoder decoder(settings);
  decoder.feed(received);
  const decode::Decoded decoded = decoder.decode();
  const auto stop = std::chrono::steady_clock::now();
  Trial result;
  result.errors = editDistance(text, decoded.text);
  if (result.errors > 0 && std::getenv("BITONER_BENCH_SHOW") != nullptr) {
    std::fprintf(stderr, "sent \"%s\", read \"%s\" (offset %.2f Hz, start %.1f s)\n", text.c_str(),
                 decoded.text.c_str(), offsetHz, static_cast<double>(before) / kRateHz);
  }
  result.sent = text.size();
  result.audioSeconds = static_cast<double>(received.size()) / kRateHz;
  result.decodeSeconds = std::chrono::duration<double>(stop - start).count();
  result.offsetErrorHz = decoded.offsetHz - offsetHz;
  return result;
}

}  // namespace
}  // namespace bitoner

int main(int argc, char* argv[]) {
  using namespace bitoner;
  bool quick = false;
  std::string tableFile;
  std::vector<std::string> only;
  std::vector<double> onlySnr;
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
    } else {
      std::cerr << "usage: " << argv[0]
                << " [--quick] [--table FILE] [--curve NAME]... [--snr DB]...\n";
      return 2;
    }
  }
  std::vector<Curve> curves{
      {"3s-iq", "3", false}, {"3s-mono", "3", true}, {"0.5s-iq", "0.5", false}};
  if (!only.empty()) {
    std::erase_if(curves, [&](const Curve& c) {
      return std::find(only.begin(), only.end(), c.name) == only.end();
    });
  }
  const std::size_t messages = quick ? 5 : 20;
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
  std::printf("Character error rate (%zu messages per point)\n%8s", messages, "SNR dB");
  for (const Curve& c : curves) {
    std::printf(" %10s", c.name.c_str());
  }
  std::printf("\n");
  for (std::size_t s = 0; s < snrs.size(); ++s) {
    std::printf("%8.0f", snrs[s]);
    for (std::size_t c = 0; c < curves.size(); ++c) {
      // The same messages, offsets and noise for every point of a curve, seeded by its place.
      SplitMix random(0x5EED0000ULL + c * 1000 + s);
      SplitMix texts(0x7E575ULL);
      std::size_t errors = 0;
      std::size_t sent = 0;
      double offsetError = 0.0;
      for (std::size_t m = 0; m < messages; ++m) {
        const Trial t = trial(message(texts), curves[c], snrs[s], random);
        offsetError += t.offsetErrorHz * t.offsetErrorHz;
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
