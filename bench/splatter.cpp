// SPDX-License-Identifier: GPL-3.0-or-later
// How far hard and smooth keying splatter beyond their tones: "VVV DE N0CALL" at a 3.0005 s
// symbol rendered by the real program as cf32, its spectrum at 1 Hz resolution averaged over the
// whole render, read at 20, 50, 100 and 300 Hz beyond the outermost tones; then each other mode,
// hard and smooth, beyond its own tones. Prints the tables and draws the three-tone spectra into
// the PNG named on the command line (by gnuplot).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/spectrum.h"
#include "support/temp_dir.h"

namespace {

constexpr std::int32_t kRateHz = 11025;
constexpr double kLowHz = 600;
constexpr double kHighHz = 1200;
constexpr const char* kSymbol = "3.0005";

struct Case {
  std::string name;
  std::vector<std::string> options;
};

std::vector<float> render(const std::vector<std::string>& options) {
  std::string command = std::string(BITONER_EXECUTABLE) + " render --format cf32 -o - --symbol " +
                        kSymbol + " --rate " + std::to_string(kRateHz);
  for (const std::string& option : options) {
    command += " " + option;
  }
  command += " VVV DE N0CALL 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("cannot run bitoner");
  }
  std::vector<float> samples;
  std::vector<float> chunk(1 << 16);
  std::size_t got = 0;
  while ((got = std::fread(chunk.data(), sizeof(float), chunk.size(), pipe)) > 0) {
    samples.insert(samples.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
  }
  if (::pclose(pipe) != 0) {
    throw std::runtime_error("bitoner render failed: " + command);
  }
  return samples;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::filesystem::path png = argc > 1 ? argv[1] : "splatter.png";
  const std::vector<Case> cases{
      {"hard", {}},
      {"smooth, glide 5 % (0.15 s)", {"--shape", "smooth"}},
      {"smooth, glide 1 % (0.03 s)", {"--shape", "smooth", "--glide", "0.030005"}},
  };
  const std::vector<double> offsets{20, 50, 100, 300};
  const bitoner::testing::TempDir dir;
  std::printf("Splatter of \"VVV DE N0CALL\", symbol %s s, %d Hz, tones %g..%g Hz\n", kSymbol,
              kRateHz, kLowHz, kHighHz);
  std::printf(
      "dBc (1 Hz resolution, averaged over the whole render) beyond the outermost tones:\n");
  std::printf("%-30s", "shape");
  for (const double offset : offsets) {
    std::printf(" %8.0f Hz", offset);
  }
  std::printf("\n");
  std::vector<std::filesystem::path> data;
  for (const Case& c : cases) {
    const std::vector<float> samples = render(c.options);
    const bitoner::testing::Spectrum spectrum(bitoner::testing::complexOf(samples), kRateHz);
    std::printf("%-30s", c.name.c_str());
    for (const double offset : offsets) {
      std::printf(" %11.1f", spectrum.beyond(kLowHz, kHighHz, offset));
    }
    std::printf("\n");
    data.push_back(dir / ("spectrum" + std::to_string(data.size()) + ".dat"));
    std::ofstream out(data.back());
    for (std::size_t k = 0; k < spectrum.dBc().size(); ++k) {
      out << static_cast<double>(k) - kRateHz / 2 << ' ' << spectrum.dBc()[k] << '\n';
    }
  }
  // The other modes, each read beyond its own tones; silence keyed hard clicks on and off.
  struct ModeCase {
    std::string name;
    std::string options;
    double lowHz;
    double highHz;
  };
  const std::vector<ModeCase> modes{
      {"dfcw (1000, 1005 Hz, gap 1 s)", "--mode dfcw --dot 1000 --dash 1005 --gap 33.33", 1000,
       1005},
      {"qrss (1000 Hz)", "--mode qrss --freq 1000", 1000, 1000},
      {"fskcw (1000 Hz, shift 5)", "--mode fskcw --freq 1000 --shift 5", 995, 1000},
  };
  std::printf("\nThe other modes, dBc beyond their own tones:\n");
  for (const ModeCase& mode : modes) {
    for (const char* shape : {"hard", "smooth"}) {
      const std::vector<float> samples = render({mode.options, std::string("--shape ") + shape});
      const bitoner::testing::Spectrum spectrum(bitoner::testing::complexOf(samples), kRateHz);
      std::printf("%-30s", (mode.name + ", " + shape).c_str());
      for (const double offset : offsets) {
        std::printf(" %11.1f", spectrum.beyond(mode.lowHz, mode.highHz, offset));
      }
      std::printf("\n");
    }
  }
  std::ofstream script(dir / "plot.gp");
  script << "set terminal pngcairo size 1000,560 font 'Liberation Sans,11'\n"
         << "set output '" << png.string() << "'\n"
         << "set title 'VVV DE N0CALL, symbol " << kSymbol
         << " s: spectrum averaged over the whole render, 1 Hz resolution'\n"
         << "set xlabel 'Hz'\nset ylabel 'dBc'\nset grid\nset xrange [0:1800]\n"
         << "set yrange [-160:5]\nset key bottom center\n"
         << "plot '" << data[0].string() << "' with lines lw 1 lc rgb '#d62728' title 'hard', '"
         << data[1].string() << "' with lines lw 1 lc rgb '#1f77b4' title 'smooth (glide 5 %)'\n";
  script.close();
  const std::string plot = "gnuplot " + (dir / "plot.gp").string();
  if (std::system(plot.c_str()) != 0) {
    std::fprintf(stderr, "gnuplot failed; no picture written\n");
    return 1;
  }
  std::printf("Spectra drawn in %s\n", png.string().c_str());
  return 0;
}
