// SPDX-License-Identifier: GPL-3.0-or-later
// The real executable on a real X display: closing its window through the window system's close
// request ends the process with status 0, when idle and in the middle of a keying run. The test
// starts its own X server (Xvfb) and sound server; it speaks X itself, as a window manager's close
// button would, so nothing in the program is there for the test's sake.
#include <gtest/gtest.h>

#include <QThread>
#include <filesystem>

#include "window/x_session.h"

namespace bitoner {
namespace {

using testing::waitFor;

using CloseRequest = testing::RealWindow<>;

TEST_F(CloseRequest, WhileIdleEndsTheProgramWithStatusZero) {
  x->requestClose(window);
  expectEndsWithStatusZero();
  EXPECT_FALSE(std::filesystem::exists(workdir / "Idle.wav")) << "nothing was keyed";
}

TEST_F(CloseRequest, DuringARunEndsTheProgramWithStatusZeroWithoutFinishingTheMessage) {
  // GO has the focus at start; a space presses it. At the default symbol length of half a second
  // the message "Edit for message" takes well over half a minute to key.
  x->pressSpace(window);
  ASSERT_TRUE(waitFor([this] { return std::filesystem::exists(workdir / "Dash.wav"); }))
      << "GO did not start a run";
  QThread::msleep(700);  // into the first character
  ASSERT_EQ(state(), QProcess::Running);

  x->requestClose(window);
  expectEndsWithStatusZero();
}

}  // namespace
}  // namespace bitoner
