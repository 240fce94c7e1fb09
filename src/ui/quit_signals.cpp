// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/quit_signals.h"

#include <QSocketNotifier>
#include <QWidget>

#include "signals/stop_signals.h"

namespace bitoner {

void closeOnQuitSignals(QWidget& window) {
  // Lives as long as the program: the window's close ends the process.
  static const StopSignals caught({.interruptCalls = false, .secondEndsProcess = false});
  auto* notifier =
      new QSocketNotifier(StopSignals::wakeDescriptor(), QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
    static int handled = 0;
    StopSignals::clearWake();
    // Each signal is a close; a second one during a run ends the program at once.
    for (; handled < StopSignals::count(); ++handled) {
      window.close();
    }
  });
}

}  // namespace bitoner
