// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <QApplication>
#include <QtGlobal>

// The window tests need a QApplication for the whole run, so this runner replaces gtest_main.
int main(int argc, char* argv[]) {
  // CTest runs the cases offscreen; listing them at build time, or a run by hand, gets the same
  // platform unless one was chosen.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
