// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;

namespace bitoner {

// From now on SIGINT, SIGTERM and SIGHUP close `window` as its close button does, at the next point
// where events are processed: the first during a run lets the element on the air end, another one
// ends at once, as a second close does. Call once, from the window's thread, with a window that
// lives until the program ends.
void closeOnQuitSignals(QWidget& window);

}  // namespace bitoner
