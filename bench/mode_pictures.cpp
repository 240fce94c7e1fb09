// SPDX-License-Identifier: GPL-3.0-or-later
// "TEST" keyed in every mode by the real program, as a receiving station's spectrogram shows it:
// one panel per mode, time across, 20 Hz of the band up the side. Writes the spectrograms as
// gnuplot matrices and draws them into the PNG named on the command line (by gnuplot).
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

constexpr std::int32_t kRateHz = 8000;
constexpr double kCentreHz = 1000;
constexpr double kSpanHz = 10;          // shown either side of the centre
constexpr double kWindowSeconds = 1.0;  // one symbol: the tones 5 Hz apart stand apart
constexpr double kStepSeconds = 0.1;
constexpr int kPadding = 4;  // zero-padded FFT: bins a quarter of the resolution apart

struct Case {
  std::string title;
  std::string options;
};

std::vector<std::complex<float>> render(const std::string& options) {
  const std::string command = std::string(BITONER_EXECUTABLE) +
                              " render --shape smooth --format cf32 -o - --symbol 1 --rate " +
                              std::to_string(kRateHz) + " " + options + " TEST 2>/dev/null";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    throw std::runtime_error("cannot run bitoner");
  }
  std::vector<std::complex<float>> samples;
  std::complex<float> frame;
  while (std::fread(&frame, sizeof frame, 1, pipe) == 1) {
    samples.push_back(frame);
  }
  if (::pclose(pipe) != 0) {
    throw std::runtime_error("bitoner render failed: " + command);
  }
  return samples;
}

// Rows of dB (0 at the loudest cell), one per frequency bin from the lowest shown up, one column
// per step; written as gnuplot's nonuniform matrix: seconds across, Hz up.
void writeSpectrogram(const std::vector<std::complex<float>>& z, const std::filesystem::path& to) {
  const auto window = static_cast<std::size_t>(kWindowSeconds * kRateHz);
  const std::size_t size = window * kPadding;
  const auto step = static_cast<std::size_t>(kStepSeconds * kRateHz);
  std::vector<std::complex<double>> in(size);
  std::vector<std::complex<double>> out(size);
  fftw_plan plan =
      fftw_plan_dft_1d(static_cast<int>(size), reinterpret_cast<fftw_complex*>(in.data()),
                       reinterpret_cast<fftw_complex*>(out.data()), FFTW_FORWARD, FFTW_ESTIMATE);
  const double binHz = static_cast<double>(kRateHz) / static_cast<double>(size);
  const auto lowBin = static_cast<std::size_t>(std::lround((kCentreHz - kSpanHz) / binHz));
  const auto highBin = static_cast<std::size_t>(std::lround((kCentreHz + kSpanHz) / binHz));
  std::vector<double> seconds;
  std::vector<std::vector<double>> power;  // [column][bin]
  for (std::size_t start = 0; start + window <= z.size(); start += step) {
    std::fill(in.begin(), in.end(), 0.0);
    for (std::size_t n = 0; n < window; ++n) {
      const double hann =
          0.5 - 0.5 * std::cos(2 * std::numbers::pi * static_cast<double>(n) / window);
      in[n] = hann * std::complex<double>(z[start + n]);
    }
    fftw_execute(plan);
    std::vector<double> column;
    for (std::size_t bin = lowBin; bin <= highBin; ++bin) {
      column.push_back(std::norm(out[bin]));
    }
    power.push_back(column);
    seconds.push_back((static_cast<double>(start) + window / 2.0) / kRateHz);
  }
  fftw_destroy_plan(plan);
  double loudest = 1e-30;
  for (const auto& column : power) {
    loudest = std::max(loudest, *std::max_element(column.begin(), column.end()));
  }
  std::ofstream file(to);
  file << power.size();
  for (const double t : seconds) {
    file << ' ' << t;
  }
  file << '\n';
  for (std::size_t bin = 0; bin <= highBin - lowBin; ++bin) {
    file << static_cast<double>(lowBin + bin) * binHz;
    for (const auto& column : power) {
      file << ' ' << std::max(-60.0, 10 * std::log10(column[bin] / loudest + 1e-30));
    }
    file << '\n';
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::filesystem::path png = argc > 1 ? argv[1] : "modes.png";
  const std::vector<Case> cases{
      {"three-tone: idle 995, dot 1000, dash 1005 Hz", "--idle 995 --dot 1000 --dash 1005"},
      {"dfcw: dot 1000, dash 1005 Hz, gap 0.3 s", "--mode dfcw --dot 1000 --dash 1005 --gap 30"},
      {"qrss: 1000 Hz", "--mode qrss --freq 1000"},
      {"fskcw: key down 1002.5 Hz, up 5 Hz below", "--mode fskcw --freq 1002.5 --shift 5"},
  };
  try {
    const bitoner::testing::TempDir dir;
    std::string plots;
    for (std::size_t k = 0; k < cases.size(); ++k) {
      const auto data = dir.path() / ("mode" + std::to_string(k) + ".dat");
      writeSpectrogram(render(cases[k].options), data);
      plots += "set title '" + cases[k].title + "'; plot '" + data.string() +
               "' nonuniform matrix with image notitle\n";
    }
    const auto script = dir.path() / "modes.gp";
    std::ofstream(script)
        << "set terminal pngcairo size 900,820 font 'DejaVu Sans,9'\n"
        << "set output '" << png.string() << "'\n"
        << "set multiplot layout 4,1 title '\"TEST\" in each mode, 1 s symbols, keyed smooth'\n"
        << "set xlabel 's'; set ylabel 'Hz'; set xrange [0:24]\n"
        << "set yrange [" << kCentreHz - kSpanHz << ":" << kCentreHz + kSpanHz
        << "]; set cbrange [-40:0]; unset colorbox\n"
        << "set palette defined (0 'black', 1 'blue', 2 'yellow', 3 'white')\n"
        << plots << "unset multiplot\n";
    if (std::system(("gnuplot " + script.string()).c_str()) != 0) {
      std::fprintf(stderr, "gnuplot failed; the picture was not drawn\n");
      return 1;
    }
    std::printf("drew %s\n", png.string().c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
