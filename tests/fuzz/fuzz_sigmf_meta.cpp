// SPDX-License-Identifier: GPL-3.0-or-later
// The SigMF metadata reader on any text: a refusal, or a datatype the sample reader knows and a
// plausible rate.
#include <string_view>

#include "recording/recording_reader.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bitoner::RecordingFormat format;
  try {
    format = bitoner::readSigmfMeta(text, "fuzz.sigmf-meta");
  } catch (const bitoner::InputError&) {
    return 0;
  }
  FUZZ_CHECK(format.datatype == "ci16_le" || format.datatype == "cf32_le" ||
             format.datatype == "ri16_le" || format.datatype == "rf32_le");
  FUZZ_CHECK(format.real == (format.datatype.front() == 'r'));
  FUZZ_CHECK(format.sampleRateHz >= bitoner::kLowestRecordingRateHz &&
             format.sampleRateHz <= bitoner::kHighestRecordingRateHz);
  FUZZ_CHECK(format.sigmfMeta == "fuzz.sigmf-meta");
  return 0;
}
