// SPDX-License-Identifier: GPL-3.0-or-later
// The window's own cost per keyed character: a pass of "E" x n at a symbol length of 0 through the
// real window (offscreen) with a sound output that plays nothing, so only the reading of the
// message and the pattern display are timed. The time per character should not grow with n.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/tones.h"
#include "offscreen_application.h"
#include "sound/pulse_player.h"
#include "support/pulse_daemon.h"
#include "support/silent_sound.h"
#include "support/temp_dir.h"
#include "ui/form1.h"
#include "window/window_probe.h"

namespace bitoner {
namespace {

using testing::SilentSound;

// GO, and back once the run the window keys on its worker has ended.
void keyRun(Form1& form) {
  QEventLoop loop;
  QObject::connect(&form, &Form1::runFinished, &loop, &QEventLoop::quit);
  testing::WindowProbe(form).controls().Command1->click();
  if (form.running()) {
    loop.exec();
  }
}

void BM_WindowPassOfE(benchmark::State& state) {
  offscreenApplication();
  const testing::TempWorkDir workdir;  // GO writes its (empty) tone files here
  SilentSound sound;
  Form1 form(sound, [](int /*status*/) {});
  testing::WindowProbe probe(form);
  const Form1Controls& ui = probe.controls();
  form.show();
  const auto length = static_cast<int>(state.range(0));
  ui.TextIn->setText(QString(length, QLatin1Char('E')));
  ui.SymbLen->setText(QStringLiteral("0"));
  for (auto _ : state) {
    keyRun(form);
  }
  // A pass shows ". " for every E.
  if (ui.CodePatt->toPlainText() != QString(". ").repeated(length)) {
    state.SkipWithError("the display does not hold the whole pass");
  }
  // The cost of one batch at the end of the pass: the whole display laid out once.
  const auto before = std::chrono::steady_clock::now();
  probe.appendPattern(' ');
  state.counters["one_layout_ms"] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - before).count();
  state.counters["per_char"] = benchmark::Counter(
      static_cast<double>(length),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_WindowPassOfE)
    ->Arg(2000)
    ->Arg(4000)
    ->Arg(8000)
    ->Arg(16000)
    ->Arg(32767)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

// Plays through the real player, noting what was played and how little was left queued whenever
// the next play began.
class NotingSound : public SoundService {
 public:
  void open(std::shared_ptr<const ToneBank> tones) override { player_.open(std::move(tones)); }
  void play(Tone tone) override {
    if (!played.empty()) {
      if (const std::optional<std::uint64_t> left = player_.queuedMicroseconds()) {
        minLeftUs = std::min(minLeftUs, *left);
      }
    }
    player_.play(tone);
    played.emplace_back(toneFileName(tone));
  }
  void drain() override { player_.drain(); }

  std::vector<std::string> played;
  std::uint64_t minLeftUs = UINT64_MAX;

 private:
  PulsePlayer player_;
};

// The longest message the box holds, keyed through the window at a 20 ms symbol into a private
// sound server and recorded at the sink: does the signal stay unbroken to the last character?
// The message is blanks (one idle symbol each, 20 ms a character, about 11 minutes for the full
// length); BITONER_BENCH_LONG_MESSAGE_CHARS sets a shorter one.
void BM_WindowLongMessageRecorded(benchmark::State& state) {
  offscreenApplication();
  const char* lengthText = std::getenv("BITONER_BENCH_LONG_MESSAGE_CHARS");
  const int length = lengthText != nullptr ? std::atoi(lengthText) : 32767;
  for (auto _ : state) {
    const testing::TempWorkDir workdir;
    testing::PrivatePulse pulse;
    NotingSound sound;
    Form1 form(sound, [](int /*status*/) {});
    const Form1Controls& ui = testing::WindowProbe(form).controls();
    form.show();
    ui.TextIn->setText(QString(length, QLatin1Char(' ')));
    ui.SymbLen->setText(QStringLiteral("0.02"));

    testing::MonitorRecorder recorder(pulse);
    const auto go = std::chrono::steady_clock::now();
    keyRun(form);
    const double keyedSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - go).count();
    const std::vector<std::int16_t> recording = recorder.stop();
    const testing::SignalComparison result = testing::compareSignal(
        recording, testing::framesOf(sound.played), testing::kMaxMissingFrames);
    if (!result.equal) {
      state.SetLabel("recording differs: " + result.description);
    }
    state.counters["chars"] = length;
    state.counters["keyed_s"] = keyedSeconds;
    state.counters["plays"] = static_cast<double>(sound.played.size());
    state.counters["bit_exact"] = result.equal ? 1.0 : 0.0;
    state.counters["silent_frames_inside"] = static_cast<double>(result.silentInside);
    state.counters["missing_at_start"] = static_cast<double>(result.missingAtStart);
    state.counters["queued_at_next_play_ms_min"] = static_cast<double>(sound.minLeftUs) / 1e3;
  }
}
BENCHMARK(BM_WindowLongMessageRecorded)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace bitoner
