// SPDX-License-Identifier: GPL-3.0-or-later
// What the window says when a run is refused or fails, for the cases a window test cannot bring
// about without breaking a sound server.
#include "ui/window_wording.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace bitoner {
namespace {

TEST(WindowWording, OnlyARunThatFailedIsReportedAndSoundFailuresSayWhen) {
  for (const RunEnd::Kind asked :
       {RunEnd::Kind::Completed, RunEnd::Kind::Ended, RunEnd::Kind::Cancelled}) {
    EXPECT_EQ(failureText(RunEnd{.kind = asked, .detail = "ignored"}), std::nullopt);
  }
  EXPECT_EQ(failureText(RunEnd{.kind = RunEnd::Kind::ToneFailed, .detail = "Dot.wav: full"}),
            "Dot.wav: full");
  EXPECT_EQ(failureText(RunEnd{.kind = RunEnd::Kind::SoundFailed, .detail = "refused"}),
            "Keying did not start: the sound output could not be opened (refused).");
  EXPECT_EQ(
      failureText(RunEnd{.kind = RunEnd::Kind::SoundFailed, .keying = true, .detail = "gone"}),
      "Keying stopped: the sound output was lost (gone).");
  EXPECT_EQ(failureText(RunEnd{.kind = RunEnd::Kind::SoundFailed,
                               .keying = true,
                               .notResponding = true,
                               .detail = "no answer for 5 s"}),
            "Keying stopped: no answer for 5 s. Check that the sound server is running, then press "
            "GO again.");
}

TEST(WindowWording, RefusalsCountAndNameWhatIsWrong) {
  EXPECT_EQ(refusalText(MessageRefusal{.length = 40000, .unkeyable = {}}),
            "The message is too long to key: it has 40000 characters, and at most 32767 can be "
            "sent.");
  EXPECT_EQ(refusalText(MessageRefusal{.length = 3, .unkeyable = {U'['}}),
            "The message cannot be keyed: it holds a character that has no Morse pattern: \"[\". "
            "Remove it and press GO again.");
  EXPECT_EQ(refusalText(MessageRefusal{.length = 3, .unkeyable = {U'[', U']'}}),
            "The message cannot be keyed: it holds characters that have no Morse pattern: \"[\", "
            "\"]\". Remove them and press GO again.");
  EXPECT_EQ(cutText(1),
            "The message box holds at most 32767 characters: 1 character that did not fit was "
            "left out; the rest was kept.");
}

}  // namespace
}  // namespace bitoner
