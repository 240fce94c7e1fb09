// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "decode/decoder.h"

namespace bitoner::decode {

// Decodes a sound server's source as it is recorded, printing each character on standard output
// once it is decided (about ten symbols after it ended), details on standard error with
// `verbose`. Runs until SIGINT or SIGTERM, then prints what is left and a line end and ends the
// process by that signal. Throws SoundError when the source cannot be recorded at the start; a
// sound server lost later is said on standard error and tried again every few seconds, what was
// heard before it decided and its line ended.
void decodeLive(const DecoderSettings& settings, const std::string& source, bool verbose);

}  // namespace bitoner::decode
