// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QApplication>
#include <cstdlib>

namespace bitoner {

// The one QApplication of the benchmark executable, on the offscreen platform unless one is set.
// Never destroyed: the application must outlive every widget, static ones included.
inline QApplication& offscreenApplication() {
  if (QApplication* existing = qApp) {
    return *existing;  // made by another benchmark of this executable
  }
  static int argc = 1;
  static char name[] = "bitoner_bench";
  static char* argv[] = {name, nullptr};
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static auto* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace bitoner
