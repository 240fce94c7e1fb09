// SPDX-License-Identifier: GPL-3.0-or-later
#include "recording/version.h"

namespace bitoner {

std::string_view programVersion() { return BITONER_VERSION; }

}  // namespace bitoner
