// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;

namespace bitoner {

// From now on SIGINT and SIGTERM close `window` as its close button does, at the next point where
// events are processed; a tone write in progress stops at once and removes its temporary files.
// Call once, from the window's thread, with a window that lives until the program ends.
void closeOnQuitSignals(QWidget& window);

}  // namespace bitoner
