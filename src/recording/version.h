// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

namespace bitoner {

// The program's version as the build states it, e.g. "1.4.0": for --version and for the
// recorder named in a recording's metadata.
std::string_view programVersion();

}  // namespace bitoner
