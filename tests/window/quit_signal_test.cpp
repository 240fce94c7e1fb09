// SPDX-License-Identifier: GPL-3.0-or-later
// SIGINT and SIGTERM close the window as its close button does. Each case runs in a child process,
// since closing ends the process and the signal leaves tone writing stopped for good.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "support/silent_sound.h"
#include "support/temp_dir.h"
#include "ui/form1.h"
#include "ui/quit_signals.h"
#include "window/window_probe.h"

namespace bitoner {
namespace {

using testing::SilentSound;

// The status a child ends with when the window failed to close.
constexpr int kStillOpen = 3;

// Sends `quitSignal` to this process once a temporary tone file shows up in the working directory.
void signalWhenWriting(int quitSignal) {
  std::thread([quitSignal] {
    for (;;) {
      for (const auto& entry : std::filesystem::directory_iterator(".")) {
        if (entry.path().filename().string().starts_with(".Idle.wav.new-")) {
          ::kill(::getpid(), quitSignal);
          return;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }).detach();
}

class QuitSignals : public ::testing::Test {
 protected:
  // Forked children share this directory, which is also their working directory.
  testing::TempWorkDir workdir;
};

TEST_F(QuitSignals, CloseTheIdleWindow) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        SilentSound sound;
        Form1 form(sound);
        closeOnQuitSignals(form);
        ::raise(SIGINT);
        QCoreApplication::processEvents();
        std::_Exit(kStillOpen);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(QuitSignals, StopALongToneWriteWithoutLeavingItsFiles) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        SilentSound sound;
        Form1 form(sound);
        const Form1Controls& ui = testing::WindowProbe(form).controls();
        closeOnQuitSignals(form);
        ui.SymbLen->setText("100");  // about 4.4 MB for each of three files
        signalWhenWriting(SIGTERM);
        ui.Command1->click();  // the run writes the tone files on a thread of its own
        QTest::qWait(10000);
        std::_Exit(kStillOpen);
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_TRUE(workdir.entries().empty()) << "left behind: " << workdir.entries().front();
}

}  // namespace
}  // namespace bitoner
