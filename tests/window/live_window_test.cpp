// SPDX-License-Identifier: GPL-3.0-or-later
// The real executable on Xvfb with the private sound server, through an element of 3 seconds:
// the window answers the window manager, repaints what was covered, shows Stop as GO is pressed,
// takes a double-click on GO as one press, and a Stop clicked early in the element ends the run at
// the element's boundary with the same signal and display as ever.
#include <gtest/gtest.h>

#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/pulse_daemon.h"
#include "window/x_session.h"

namespace bitoner {
namespace {

using namespace std::chrono_literals;
using testing::XClient;
using Pixels = XClient::Pixels;

// Where the window's controls are, in its own pixels.
constexpr int kButtonX = 168;  // GO and Stop
constexpr int kButtonY = 144;
constexpr int kButtonSide = 41;
constexpr int kButtonCentre = 20;
constexpr int kClientWidth = 376;
constexpr int kClientHeight = 272;
constexpr int kMessageX = 212;  // inside the message box
constexpr int kMessageY = 36;
constexpr int kSymbLenX = 320;  // inside the symbol length box
constexpr int kSymbLenY = 65;
constexpr int kAsideX = 12;  // on a label, away from every control that reacts to the pointer
constexpr int kAsideY = 60;

constexpr auto kAnswerWithin = 100ms;
constexpr int kRunEndTimeoutMs = 15000;
constexpr int kRepaintTimeoutMs = 1000;

// Frames a stream that runs dry on a loaded machine may lose or delay, and how many samples at
// its end must match exactly; a run that ended anywhere but at the boundary would differ by a gap
// (3308 frames here) or a whole symbol.
constexpr std::size_t kLoadLossFrames = 1100;
constexpr std::size_t kTailSamples = 1000;

// Expects the recording to be what the named plays send: as long, but for what a loaded machine
// may cost, and ending exactly as they end. Whether the signal is unbroken is the player's matter,
// checked elsewhere; what was sent, and where the run ended, is what counts here.
void expectSent(const std::vector<std::int16_t>& recording, const std::vector<std::string>& plays) {
  std::vector<std::int16_t> sent;  // without silent frames: no tone frame is silent
  for (std::size_t i = 0; i + 1 < recording.size(); i += 2) {
    if (recording[i] != 0 || recording[i + 1] != 0) {
      sent.insert(sent.end(), {recording[i], recording[i + 1]});
    }
  }
  const std::vector<std::int16_t> expected = testing::framesOf(plays);
  EXPECT_NEAR(static_cast<double>(sent.size() / 2), static_cast<double>(expected.size() / 2),
              static_cast<double>(kLoadLossFrames));
  ASSERT_GE(sent.size(), kTailSamples);
  EXPECT_TRUE(std::equal(sent.end() - kTailSamples, sent.end(), expected.end() - kTailSamples))
      << "the signal does not end as the last play ends";
}

class LiveWindow : public testing::RealWindow<testing::TempWorkDir> {
 protected:
  // The message E with elements of 3 seconds: a dot, its gap and an idle symbol, 6.3 s in all.
  void typeLongElements() {
    x->focus(window);
    x->click(window, kMessageX, kMessageY);
    x->retype("e");
    x->click(window, kSymbLenX, kSymbLenY);
    x->retype("3");
    x->moveTo(window, kAsideX, kAsideY);
    QThread::msleep(200);
  }

  Pixels button() { return x->grab(window, kButtonX, kButtonY, kButtonSide, kButtonSide); }
  Pixels wholeWindow() { return x->grab(window, 0, 0, kClientWidth, kClientHeight); }
  void clickButton() { x->click(window, kButtonX + kButtonCentre, kButtonY + kButtonCentre); }

  // Waits until the button shows `look` again.
  bool waitForButton(const Pixels& look) {
    return testing::waitFor([&] { return button() == look; }, kRunEndTimeoutMs);
  }
};

TEST_F(LiveWindow, AnswersRepaintsAndTakesADoubleClickOnGoAsOnePressDuringALongElement) {
  typeLongElements();
  const Pixels goLook = button();
  testing::MonitorRecorder recorder(pulse);

  // Double-click on GO, watching the button from the first click.
  using Clock = XClient::Clock;
  std::vector<std::pair<Clock::duration, Pixels>> looks;
  const Clock::time_point pressed = Clock::now();
  clickButton();
  for (bool second = false; Clock::now() - pressed < 400ms; QThread::msleep(5)) {
    looks.emplace_back(Clock::now() - pressed, button());
    if (!second && Clock::now() - pressed > 150ms) {
      clickButton();
      second = true;
    }
  }
  // Stop as it looks with the pointer still over it, as while it was watched.
  QThread::msleep(300);
  const Pixels stopLook = button();
  const auto stopShown = std::find_if(looks.begin(), looks.end(),
                                      [&](const auto& look) { return look.second == stopLook; });
  ASSERT_NE(stopShown, looks.end()) << "Stop did not appear soon after GO";
  EXPECT_LE(stopShown->first, kAnswerWithin);
  x->moveTo(window, kAsideX, kAsideY);
  QThread::msleep(200);
  ASSERT_NE(button(), goLook) << "Stop is not shown during the run";

  // Still inside the dot: the window manager's ping, and a window mapped over it and taken away.
  const std::optional<Clock::duration> answer = x->ping(window, 2000ms);
  ASSERT_TRUE(answer) << "the ping was not answered";
  EXPECT_LE(*answer, kAnswerWithin);
  const Pixels before = wholeWindow();
  x->cover(window, 200ms);
  // Well inside the element, so a window that waits for its end fails; how soon is measured by
  // the benchmark, not here.
  EXPECT_TRUE(testing::waitFor([&] { return wholeWindow() == before; }, kRepaintTimeoutMs))
      << "the uncovered window was not repainted";

  // The second click did not stop the run: the whole message is keyed.
  ASSERT_TRUE(waitForButton(goLook)) << "the run did not end";
  expectSent(recorder.stop(), testing::playOrder(U"E"));
}

TEST_F(LiveWindow, StopEarlyInAnElementEndsTheRunAtItsBoundary) {
  typeLongElements();
  const Pixels goLook = button();
  const Pixels emptyDisplay = wholeWindow();
  testing::MonitorRecorder recorder(pulse);
  clickButton();
  x->moveTo(window, kAsideX, kAsideY);
  QThread::msleep(700);  // Stop has been shown for longer than a double-click lasts
  const Pixels stopLook = button();
  clickButton();
  x->moveTo(window, kAsideX, kAsideY);
  QThread::msleep(static_cast<unsigned long>(kAnswerWithin.count()));
  EXPECT_NE(button(), stopLook) << "the Stop was not seen at once";

  ASSERT_TRUE(waitForButton(goLook)) << "the run did not end";
  // The dot and its gap, nothing after them; the pattern display empty, as before GO.
  expectSent(recorder.stop(), {"dot.wav", "InterSymb.wav"});
  const Pixels after = wholeWindow();
  ASSERT_EQ(after.size(), emptyDisplay.size());
  const std::size_t rowBytes = after.size() / kClientHeight;
  constexpr int kDisplayTop = 192;
  EXPECT_TRUE(
      std::equal(after.begin() + static_cast<std::ptrdiff_t>(kDisplayTop * rowBytes), after.end(),
                 emptyDisplay.begin() + static_cast<std::ptrdiff_t>(kDisplayTop * rowBytes)))
      << "the pattern display is not empty after Stop";
}

}  // namespace
}  // namespace bitoner
