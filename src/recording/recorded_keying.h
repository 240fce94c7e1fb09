// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "engine/modes.h"
#include "engine/tones.h"

namespace bitoner {

// How a recording says it was keyed, from the keys Bitoner's SigMF writer puts in the `bitoner`
// extension; each field empty where the recording says nothing. The frequencies are those of the
// options that set them, at baseband and unsigned: `inverted` puts them at negative frequencies.
struct RecordedKeying {
  std::optional<Mode> mode;
  std::optional<double> symbolSeconds;  // in ordinary Morse timing, the dot
  std::optional<double> gapSeconds;     // after each element, in three-tone and DFCW
  std::optional<double> idleHz;         // three-tone
  std::optional<double> dotHz;          // three-tone and DFCW
  std::optional<double> dashHz;         // three-tone and DFCW
  std::optional<double> freqHz;         // QRSS and FSKCW: key down
  std::optional<double> shiftHz;        // FSKCW: key up this far below key down
  std::optional<bool> inverted;
  std::optional<double> ppm;  // the tones were made at f / (1 + ppm / 1e6), for a card that fast
};

// Writes the keying of `tones` into a SigMF global object: the mode, the timing, the tones the
// mode keys (in its own options' terms) and the inversion.
void writeRecordedKeying(nlohmann::ordered_json& global, const ToneInputs& tones);

// Reads the keys writeRecordedKeying writes from a SigMF global object of a recording at
// `sampleRateHz`. Throws InputError naming `metaName` and the key for a key of the wrong type or
// out of range (an unknown mode, a length that is not positive, a tone beyond half the rate).
RecordedKeying readRecordedKeying(const nlohmann::json& global, double sampleRateHz,
                                  const std::string& metaName);

}  // namespace bitoner
