// SPDX-License-Identifier: GPL-3.0-or-later
// The window's thread held still for 1.5 s in the middle of a Loop run at a 50 ms symbol, as a slow
// paint or a stalled compositor holds it on a real desktop: the real window (offscreen) keys into a
// private sound server, the sink is recorded and compared with what was played. Silent frames
// inside the recording are what a transmitter would send as a hole in the signal.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "offscreen_application.h"
#include "sound/pulse_player.h"
#include "support/played_names.h"
#include "support/pulse_daemon.h"
#include "support/temp_dir.h"
#include "ui/form1.h"
#include "window/window_probe.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;

constexpr auto kStallAfter = 1000ms;
constexpr auto kStallFor = 1500ms;
constexpr auto kStopAfter = 4000ms;

// The real player, noting the names of what it played.
class NotingSound : public SoundService {
 public:
  void open(std::shared_ptr<const ToneBank> tones) override { player_.open(std::move(tones)); }
  void play(Tone tone) override {
    played.emplace_back(testing::playedName(tone));
    player_.play(tone);
  }
  void drain() override { player_.drain(); }

  std::vector<std::string> played;

 private:
  PulsePlayer player_;
};

// The longest run of silent frames between the recording's first and last signal frame.
std::size_t longestSilence(const std::vector<std::int16_t>& recording) {
  std::size_t first = recording.size();
  std::size_t last = 0;
  for (std::size_t k = 0; k + 1 < recording.size(); k += 2) {
    if (recording[k] != 0 || recording[k + 1] != 0) {
      first = std::min(first, k);
      last = k;
    }
  }
  std::size_t longest = 0;
  std::size_t run = 0;
  for (std::size_t k = first; k < last; k += 2) {
    run = (recording[k] == 0 && recording[k + 1] == 0) ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

void BM_WindowThreadStalledDuringLoop(benchmark::State& state) {
  offscreenApplication();
  for (auto _ : state) {
    const testing::TempWorkDir workdir;
    testing::PrivatePulse pulse;
    NotingSound sound;
    Form1 form(sound, [](int /*status*/) {});
    const Form1Controls& ui = testing::WindowProbe(form).controls();
    form.show();
    ui.TextIn->setText(QStringLiteral("PARIS"));
    ui.SymbLen->setText(QStringLiteral("0.05"));
    ui.LoopCont->setChecked(true);

    testing::MonitorRecorder recorder(pulse);
    QEventLoop loop;
    QObject::connect(&form, &Form1::runFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(kStallAfter, &form, [] { std::this_thread::sleep_for(kStallFor); });
    QTimer::singleShot(kStopAfter, &form, [&ui] { ui.Stp->click(); });
    ui.Command1->click();
    loop.exec();
    const std::vector<std::int16_t> recording = recorder.stop();

    const testing::SignalComparison result = testing::compareSignal(
        recording, testing::framesOf(sound.played), testing::kMaxMissingFrames);
    state.counters["plays"] = static_cast<double>(sound.played.size());
    state.counters["bit_exact"] = result.equal ? 1.0 : 0.0;
    state.counters["silent_frames_inside"] = static_cast<double>(result.silentInside);
    state.counters["longest_gap_ms"] =
        static_cast<double>(longestSilence(recording)) * 1000.0 / kSampleRateHz;
  }
}
BENCHMARK(BM_WindowThreadStalledDuringLoop)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace bitoner
