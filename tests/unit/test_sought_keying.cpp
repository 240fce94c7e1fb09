// SPDX-License-Identifier: GPL-3.0-or-later
// How decode and grab merge the options typed with the keying a recording states.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/decode_command.h"
#include "cli/outcome.h"
#include "recording/recording_reader.h"

namespace bitoner::cli {
namespace {

TEST(SoughtKeyingTest, TypedOptionsWinAndTheRestFollowTheRecording) {
  std::vector<std::string> taken;
  // Three-tone at 3 s with a 0.3 s gap; a typed symbol keeps the gap's share of it.
  SoughtOptions typed;
  typed.boxTexts[static_cast<std::size_t>(Box::SymbLen)] = "1";
  RecordedKeying threeTone;
  threeTone.symbolSeconds = 3.0;
  threeTone.gapSeconds = 0.3;
  threeTone.dotHz = 900.0;
  const ToneInputs scaled = soughtTones(typed, threeTone, taken);
  EXPECT_DOUBLE_EQ(scaled.SymbolLength, 1.0);
  EXPECT_DOUBLE_EQ(scaled.InterSymbol, 0.1);
  EXPECT_EQ(scaled.dotHz, 900.0);
  EXPECT_EQ(scaled.dashHz, 1200.0);
  EXPECT_EQ(taken, (std::vector<std::string>{"gap 0.1 s", "dot 900 Hz"}));

  // FSKCW: a typed key-down tone keeps the recording's shift below it.
  SoughtOptions freq;
  freq.freqText = "1500";
  RecordedKeying fskcw;
  fskcw.mode = Mode::Fskcw;
  fskcw.freqHz = 800.0;
  fskcw.shiftHz = 4.0;
  const ToneInputs shifted = soughtTones(freq, fskcw, taken);
  EXPECT_EQ(shifted.mode, Mode::Fskcw);
  EXPECT_EQ(shifted.dotHz, 1500.0);
  EXPECT_EQ(shifted.idleHz, 1496.0);

  // An option the recording's mode does not use is refused, saying whose mode it is.
  SoughtOptions dot;
  dot.boxTexts[static_cast<std::size_t>(Box::DotFreq)] = "900";
  try {
    RecordedKeying qrss;
    qrss.mode = Mode::Qrss;
    soughtTones(dot, qrss, taken);
    ADD_FAILURE() << "--dot was taken in QRSS";
  } catch (const Refusal& refusal) {
    EXPECT_NE(std::string(refusal.what()).find("the recording's mode"), std::string::npos);
  }
}

// Out of range is judged against the recording's own rate; each refusal names its key.
TEST(SoughtKeyingTest, ARecordingsKeysOutOfRangeAreRefusedByName) {
  const auto read = [](const char* text) {
    return readRecordedKeying(nlohmann::json::parse(text), 11025.0, "r.sigmf-meta");
  };
  EXPECT_EQ(read(R"({"bitoner:mode": "fskcw", "bitoner:freq_hz": 5000, "bitoner:shift_hz": -500})")
                .shiftHz,
            -500.0);
  for (const char* bad :
       {R"({"bitoner:mode": "cw"})", R"({"bitoner:symbol_length": 0})",
        R"({"bitoner:dot_hz": 5512.5})", R"({"bitoner:freq_hz": 5000, "bitoner:shift_hz": -600})",
        R"({"bitoner:inverted": 1})"}) {
    const std::string last = nlohmann::json::parse(bad).rbegin().key();
    try {
      read(bad);
      ADD_FAILURE() << bad << " was read";
    } catch (const InputError& error) {
      EXPECT_NE(std::string(error.what()).find("r.sigmf-meta: " + last), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace
}  // namespace bitoner::cli
