// SPDX-License-Identifier: GPL-3.0-or-later
// The slow-Morse modes made and read back with Bitoner alone, as a receiving station would meet
// them: `bitoner render --snr --seed` keys callsign-like messages with a frequency offset of up to
// +/-2 Hz, the recording starts anywhere within a dot, and `bitoner decode --mode` reads it. Prints
// the character error rate against SNR for each mode (3 s dots; DFCW 3 s elements 5 Hz apart with
// 1 s gaps), how much faster than real time a 10-minute recording of each mode is decoded, and how
// long a render of each mode takes beside three-tone's for the same length.
//
//   bitoner_bench_modes [--quick] [--table FILE]
//
// FILE gets the curves as columns for gnuplot (SNR, then one CER column per mode).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "edit_distance.h"
#include "scoring.h"
#include "support/temp_dir.h"

namespace {

constexpr double kRateHz = 11025.0;

struct Mode {
  std::string name;
  std::string keying;      // render's and decode's options, the tones at their nominal places
  std::string offsetTone;  // render's options with the tones moved by %OFFSET%
  std::string reading;     // decode's own options
};

std::string replaced(std::string text, const std::string& what, const std::string& by) {
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at)) {
    text.replace(at, what.size(), by);
    at += by.size();
  }
  return text;
}

std::string run(const std::string& command) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("cannot run: " + command);
  }
  std::string out;
  char chunk[4096];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
    out.append(chunk, got);
  }
  if (::pclose(pipe) != 0) {
    throw std::runtime_error("failed: " + command);
  }
  return out;
}

double seconds(const std::chrono::steady_clock::duration& d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char* argv[]) {
  bool quick = false;
  std::string table;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "--table" && k + 1 < argc) {
      table = argv[++k];
    }
  }
  const std::string bitoner = BITONER_EXECUTABLE;
  const std::vector<Mode> modes{
      {"qrss", "--mode qrss --symbol 3 --freq 1000", "--mode qrss --symbol 3 --freq %HZ(1000)%",
       ""},
      {"fskcw", "--mode fskcw --symbol 3 --freq 1000 --shift 5",
       "--mode fskcw --symbol 3 --freq %HZ(1000)% --shift 5", ""},
      // Tones 5 Hz apart, read with the default search.
      {"dfcw", "--mode dfcw --symbol 3 --gap 33.3333 --dot 1000 --dash 1005",
       "--mode dfcw --symbol 3 --gap 33.3333 --dot %HZ(1000)% --dash %HZ(1005)%", ""},
  };
  const std::vector<std::string> messages{"VVV DE G4ABC", "N0CALL EN34", "DL1XY JO62",
                                          "QRSS 30M",     "VK2ZZ QF56",  "TEST 73",
                                          "F5XYZ",        "DE W1AW FN31"};
  const std::vector<double> snrs =
      quick ? std::vector<double>{-25, -27} : std::vector<double>{-23, -25, -26, -27, -28, -29};
  // Each message twice over, with its own noise, offset and start each time.
  const std::size_t draws = quick ? 3 : 2 * messages.size();

  const bitoner::testing::TempDir dir;
  std::vector<std::vector<double>> cer(snrs.size(), std::vector<double>(modes.size()));
  std::printf("Character error rate (%%), 3 s dots, noise in 2500 Hz, %zu messages per point:\n",
              draws);
  std::printf("%8s", "SNR dB");
  for (const Mode& mode : modes) {
    std::printf(" %8s", mode.name.c_str());
  }
  std::printf("\n");
  for (std::size_t s = 0; s < snrs.size(); ++s) {
    std::printf("%8.0f", snrs[s]);
    for (std::size_t m = 0; m < modes.size(); ++m) {
      std::size_t errors = 0;
      std::size_t sent = 0;
      for (std::size_t d = 0; d < draws; ++d) {
        const std::string& message = messages[d % messages.size()];
        const std::uint64_t seed = 1000 * (s + 1) + 100 * m + d;
        bitoner::SplitMix random(seed);
        const double offset = 4.0 * random.uniform() - 2.0;  // +/-2 Hz
        // The recording starts somewhere within the blank keyed before the message (at least a
        // dot of key up), not on the grid.
        const std::size_t cut = random.below(33075);
        std::string keying = modes[m].offsetTone;
        for (const double nominal : {1000.0, 1005.0}) {
          std::ostringstream hz;
          hz << nominal + offset;
          std::ostringstream token;
          token << "%HZ(" << nominal << ")%";
          keying = replaced(keying, token.str(), hz.str());
        }
        std::string text =
            run(bitoner + " render " + keying + " --snr " + std::to_string(snrs[s]) + " --seed " +
                std::to_string(seed) + " -o - '' " + message + " 2>/dev/null | tail -c +" +
                std::to_string(cut * 4 + 1) + " | " + bitoner + " decode " + modes[m].keying + " " +
                modes[m].reading + " - 2>/dev/null");
        while (!text.empty() && (text.back() == '\n')) {
          text.pop_back();
        }
        const std::size_t wrong = bitoner::bench::editDistance(message, text);
        if (wrong > 0 && std::getenv("BITONER_BENCH_SHOW") != nullptr) {
          std::fprintf(stderr,
                       "%s %.0f dB seed %llu offset %.2f Hz cut %zu: sent \"%s\", read \"%s\"\n",
                       modes[m].name.c_str(), snrs[s], static_cast<unsigned long long>(seed),
                       offset, cut, message.c_str(), text.c_str());
        }
        errors += wrong;
        sent += message.size();
      }
      cer[s][m] = 100.0 * static_cast<double>(errors) / static_cast<double>(sent);
      std::printf(" %8.1f", cer[s][m]);
      std::fflush(stdout);
    }
    std::printf("\n");
  }
  if (!table.empty()) {
    std::ofstream out(table);
    for (std::size_t s = 0; s < snrs.size(); ++s) {
      out << snrs[s];
      for (const double value : cer[s]) {
        out << ' ' << value;
      }
      out << '\n';
    }
  }

  // Speed: a recording of each mode of ten minutes or more (whole passes), decoded; renders
  // compared per hour of signal.
  const auto wav = dir.path() / "ten.wav";
  std::printf("\n%-12s %22s %24s\n", "mode", "decode (x real time)", "render (s per hour)");
  double threeTone = 0.0;
  struct Speed {
    std::string name;
    std::string keying;
    std::string reading;
    int passes;  // of "VVV DE G4ABC", enough for ten minutes
  };
  const std::vector<Speed> speedModes{{"three-tone", "--symbol 3", "", 4},
                                      {modes[0].name, modes[0].keying, modes[0].reading, 2},
                                      {modes[1].name, modes[1].keying, modes[1].reading, 2},
                                      {modes[2].name, modes[2].keying, modes[2].reading, 4}};
  for (const auto& [name, keying, reading, loops] : speedModes) {
    const std::string passes = "--loop " + std::to_string(loops);
    const auto renderStart = std::chrono::steady_clock::now();
    run(bitoner + " render " + keying + " " + passes + " --snr -20 --seed 1 -o " + wav.string() +
        " VVV DE G4ABC 2>/dev/null");
    const double renderSeconds = seconds(std::chrono::steady_clock::now() - renderStart);
    const double length = static_cast<double>(std::filesystem::file_size(wav) - 44) / 4.0 / kRateHz;
    const double renderPerHour = renderSeconds / length * 3600.0;
    if (name == "three-tone") {
      threeTone = renderPerHour;
    }
    const auto decodeStart = std::chrono::steady_clock::now();
    run(bitoner + " decode " + keying + " " + reading + " " + wav.string() + " 2>/dev/null");
    const double decodeSeconds = seconds(std::chrono::steady_clock::now() - decodeStart);
    std::printf("%-12s %14.0f (%.0f s) %14.2f (%.2fx three-tone)\n", name.c_str(),
                length / decodeSeconds, length, renderPerHour, renderPerHour / threeTone);
  }
  return 0;
}
