// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <vector>

#include "decode/character_search.h"
#include "decode/decoder.h"
#include "decode/pass_finder.h"

namespace bitoner::decode {

// The characters of one transmission, each with its confidence: its share of the likelihood of
// every way on from where it starts (both lengths of the same character count for it). Below a
// third it is shown as unreadable. `search` must be scored as the transmission was read.
std::vector<DecodedCharacter> charactersOf(const Search& search, const PassReading& pass,
                                           double stepSeconds);

}  // namespace bitoner::decode
