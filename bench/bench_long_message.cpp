// SPDX-License-Identifier: GPL-3.0-or-later
// The window's own cost per keyed character: a pass of "E" x n at a symbol length of 0 through the
// real window (offscreen) with a sound output that plays nothing, so only the reading of the
// message and the pattern display are timed. The time per character should not grow with n.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>

#include "support/silent_sound.h"
#include "support/temp_dir.h"
#include "ui/form1.h"

namespace bitoner {
namespace {

using testing::SilentSound;

QApplication& offscreenApplication() {
  static int argc = 1;
  static char name[] = "bitoner_bench";
  static char* argv[] = {name, nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Never destroyed: the application must outlive every widget, static ones included.
  static auto* app = new QApplication(argc, argv);
  return *app;
}

void BM_WindowPassOfE(benchmark::State& state) {
  offscreenApplication();
  const testing::TempWorkDir workdir;  // GO writes its (empty) tone files here
  SilentSound sound;
  Form1 form(sound, [](int /*status*/) {});
  form.show();
  const auto length = static_cast<int>(state.range(0));
  form.TextIn->setText(QString(length, QLatin1Char('E')));
  form.SymbLen->setText(QStringLiteral("0"));
  for (auto _ : state) {
    form.Command1->click();
  }
  // A pass shows ". " for every E.
  if (form.CodePatt->toPlainText() != QString(". ").repeated(length)) {
    state.SkipWithError("the display does not hold the whole pass");
  }
  // The cost of one batch at the end of the pass: the whole display laid out once.
  const auto before = std::chrono::steady_clock::now();
  form.appendPattern(' ');
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

}  // namespace
}  // namespace bitoner
