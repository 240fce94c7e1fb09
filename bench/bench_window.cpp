// SPDX-License-Identifier: GPL-3.0-or-later
// The real program on Xvfb, keying the message E with elements of 10 seconds into a private sound
// server. During the dot, a window manager's pings and a window mapped over it and taken away
// again, over and over: how long the window took to answer, and to have its pixels back. During
// the idle symbol nothing happens: what keying costs the process.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/pulse_daemon.h"
#include "support/temp_dir.h"
#include "window/x_session.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::duration<double, std::milli>;

constexpr int kPings = 50;
constexpr auto kBetweenPings = 40ms;
constexpr auto kCoveredFor = 20ms;
constexpr auto kRepaintTimeout = 3000ms;
constexpr auto kProbeUntil = 9s;  // after GO: the dot lasts 10 s, and its "." changes the window
constexpr auto kQuietFor = 8s;    // of the idle symbol's 10 s
constexpr int kClientWidth = 376;
constexpr int kClientHeight = 272;
constexpr double kSecondsPerMinute = 60.0;

// User and system time the process has used, in seconds.
double cpuSeconds(qint64 pid) {
  QFile stat(QString("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) {
    throw std::runtime_error("cannot read the program's CPU time");
  }
  const QString text = QString::fromLatin1(stat.readAll());
  // Fields after the command's closing parenthesis; utime and stime are the 14th and 15th.
  const QStringList fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
  const double ticks = fields.at(11).toDouble() + fields.at(12).toDouble();
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0.0 : values[values.size() / 2];
}

void BM_WindowDuringALongElement(benchmark::State& state) {
  int argc = 1;
  char name[] = "bitoner_bench_window";
  char* argv[] = {name, nullptr};
  const QCoreApplication app(argc, argv);
  for (auto _ : state) {
    const testing::TempWorkDir dir;
    const testing::PrivatePulse pulse;
    testing::RealProgram program(dir.path());
    testing::XClient& x = *program.x;
    const xcb_window_t window = program.window;

    x.focus(window);
    x.click(window, 212, 36);  // the message box
    x.retype("e");
    x.click(window, 320, 65);  // the symbol length box
    x.retype("10");
    x.moveTo(window, 12, 60);
    QThread::msleep(300);
    const Clock::time_point go = Clock::now();
    x.click(window, 188, 164);  // GO
    x.moveTo(window, 12, 60);
    QThread::msleep(500);

    std::vector<double> pings;
    for (int i = 0; i < kPings; ++i) {
      const auto answer = x.ping(window, 5000ms);
      if (!answer) {
        state.SkipWithError("a ping was not answered");
        return;
      }
      pings.push_back(Milliseconds(*answer).count());
      std::this_thread::sleep_for(kBetweenPings);
    }

    // Covered and uncovered again and again: the longest wait for the pixels to come back is the
    // longest the window's thread went without painting.
    const testing::XClient::Pixels painted = x.grab(window, 0, 0, kClientWidth, kClientHeight);
    double longestRepaint = 0.0;
    int exposures = 0;
    for (const Clock::time_point until = go + kProbeUntil; Clock::now() < until; ++exposures) {
      x.cover(window, kCoveredFor);
      const Clock::time_point uncovered = Clock::now();
      while (x.grab(window, 0, 0, kClientWidth, kClientHeight) != painted) {
        if (Clock::now() - uncovered > kRepaintTimeout) {
          state.SkipWithError("the window was not repainted");
          return;
        }
        std::this_thread::sleep_for(1ms);
      }
      longestRepaint = std::max(longestRepaint, Milliseconds(Clock::now() - uncovered).count());
    }

    // Into the idle symbol (the dot and its gap take 11 s), then nothing but keying.
    std::this_thread::sleep_until(go + 11500ms);
    const qint64 pid = program.bitoner.processId();
    const double cpuBefore = cpuSeconds(pid);
    std::this_thread::sleep_for(kQuietFor);
    const double cpuUsed = cpuSeconds(pid) - cpuBefore;

    state.counters["ping_ms_median"] = median(pings);
    state.counters["ping_ms_max"] = *std::max_element(pings.begin(), pings.end());
    state.counters["repaint_ms_max"] = longestRepaint;
    state.counters["exposures"] = exposures;
    state.counters["cpu_s_per_min"] =
        cpuUsed / std::chrono::duration<double>(kQuietFor).count() * kSecondsPerMinute;
  }
}
BENCHMARK(BM_WindowDuringALongElement)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace bitoner
