// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace bitoner {

// The names of recordings, matched without regard to case; the one list every reader and writer
// uses.
inline constexpr std::string_view kWavSuffix = ".wav";
inline constexpr std::string_view kSigmfDataSuffix = ".sigmf-data";
inline constexpr std::string_view kSigmfMetaSuffix = ".sigmf-meta";

// Whether `name` ends in `suffix`, ignoring case, with something before it.
bool hasSuffix(std::string_view name, std::string_view suffix);
// Whether `name` names one file of a SigMF pair.
bool isSigmfName(std::string_view name);
// Whether `name` names a WAV file or one file of a SigMF pair.
bool isRecordingName(std::string_view name);
// The name of a SigMF pair without its suffix: "rec" for "rec.sigmf-data" or "rec.sigmf-meta".
std::string sigmfBase(std::string_view name);

}  // namespace bitoner
