// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace bitoner {

// Call before the QApplication is made. Returns when the window can expect a graphical session;
// otherwise, or when the toolkit later finds no display it can open, it says so on standard
// error in one line, pointing to the command line, and ends the process with status 1.
void requireGraphicalSession();

}  // namespace bitoner
