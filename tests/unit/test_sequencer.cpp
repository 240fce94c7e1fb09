// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sequencer.h"
#include "engine/tones.h"
#include "support/plain_window.h"
#include "support/played_names.h"
#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace bitoner {
namespace {

using testing::EventLog;

// A sound service that plays instantly and notes in the log "open", "play <name>" and "drain". It
// can be told to fail, and it refuses to run away: a run that never ends would otherwise hang.
class FakeSound : public SoundService {
 public:
  static constexpr std::size_t kRunawayPlays = 2'000'000;

  explicit FakeSound(EventLog& log) : log_(log) {}

  void open(std::shared_ptr<const ToneBank> tones) override {
    log_.push_back("open");
    EXPECT_NE(tones, nullptr);
    if (openError) {
      throw SoundError("Connection refused");
    }
  }

  void play(Tone tone) override {
    ++plays;
    if (plays == failAtPlay) {
      throw SoundError("Connection terminated");
    }
    if (plays > kRunawayPlays) {
      throw std::logic_error("the keying run does not end");
    }
    log_.push_back("play " + std::string(testing::playedName(tone)));
  }

  void drain() override {
    log_.push_back("drain");
    if (drainError) {
      throw SoundError("Connection terminated");
    }
  }

  bool openError = false;
  bool drainError = false;
  std::size_t failAtPlay = 0;  // the play (counted from 1) that loses the server; 0 for none
  std::size_t plays = 0;

 private:
  EventLog& log_;
};

const EventLog kStart{"message", "clear", "open", "keying"};
const EventLog kEnd{"drain", "idle"};

// The log of one element, "." or "-": its tone, its symbol, the gap and the event check.
EventLog element(char e) {
  return {e == '.' ? "play dot.wav" : "play dash.wav", std::string("+") + e, "play InterSymb.wav",
          "events"};
}

// The log one character sends, written from its elements: each element, then the character's
// blank and idle symbol. A character without elements checks events once where its first
// element's check would be.
EventLog character(std::string_view elements) {
  EventLog log;
  for (char e : elements) {
    const EventLog one = element(e);
    log.insert(log.end(), one.begin(), one.end());
  }
  if (elements.empty()) {
    log.push_back("events");
  }
  log.insert(log.end(), {"+ ", "play idle.wav"});
  return log;
}

EventLog concat(std::initializer_list<EventLog> parts) {
  EventLog all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

std::size_t framesIn(const char* file) { return testing::readWavSamples(file).size() / 2; }

// GO writes the tone files into the working directory, so every case runs in a fresh one.
class SequencerTest : public ::testing::Test {
 protected:
  void go(const std::u32string& message) {
    window.text = message;
    window.eventCalls = 0;
    log.clear();
    sequencer.Command1_Click();
  }

  // The state every run, complete or not, ends in.
  void expectIdle() {
    EXPECT_FALSE(window.keying);
    EXPECT_EQ(window.params.abort, kFalse);
  }

  // GO refused the message with `reason` before writing or playing anything.
  void expectRefused(const std::string& reason) {
    EXPECT_EQ(log, (EventLog{"message", "report"}));
    EXPECT_EQ(window.reports.back(), reason);
    EXPECT_TRUE(dir.entries().empty());
    expectIdle();
  }

  testing::TempWorkDir dir;
  EventLog log;
  testing::PlainWindow window{&log};
  FakeSound sound{log};
  Sequencer sequencer{window, sound};
};

TEST_F(SequencerTest, KeysMessagesInExactPlayAndDisplayOrder) {
  go(U"E");
  EXPECT_EQ(log,
            (EventLog{"message", "clear", "open", "keying", "play dot.wav", "+.",
                      "play InterSymb.wav", "events", "+ ", "play idle.wav", "drain", "idle"}));
  expectIdle();
  for (std::string_view name : kToneFileNames) {
    EXPECT_TRUE(std::filesystem::exists(name)) << name;
  }

  go(U"A B");  // the space sends one more idle symbol and shows a second blank
  EXPECT_EQ(log, concat({kStart, character(".-"), character(""), character("-..."), kEnd}));

  go(U"6");
  EXPECT_EQ(log, concat({kStart, character("-...."), kEnd}));

  go(U"SOS");
  EXPECT_EQ(log, concat({kStart, character("..."), character("---"), character("..."), kEnd}));
  expectIdle();
}

TEST_F(SequencerTest, UpperCasesAtGoAndNormalisesTheSymbolLength) {
  window.writeBox(Box::SymbLen, "250");
  go(U"e");
  EXPECT_EQ(window.text, U"E");
  EXPECT_EQ(window.boxes[Box::SymbLen], " .25");
  EXPECT_DOUBLE_EQ(window.params.SymbolLength, 0.25);
  EXPECT_DOUBLE_EQ(window.params.InterSymbol, 10.0 / 100 * 0.25);
  // The write-back's handler raised abort; GO cleared it again, or the run would end at once.
  EXPECT_EQ(
      log,
      concat({{"message", "box SymbLen  .25", "clear", "open", "keying"}, character("."), kEnd}));
  expectIdle();
  // The tone files were made from the normalised length.
  EXPECT_EQ(framesIn("Idle.wav"), 2756U);
  EXPECT_EQ(framesIn("Dot.wav"), 2756U);
  EXPECT_EQ(framesIn("InterSymb.wav"), 276U);

  // An edit made while idle leaves abort raised; GO clears it before keying.
  window.writeBox(Box::IdleFreq, "600");
  go(U"T");
  EXPECT_EQ(log, concat({kStart, character("-"), kEnd}));
}

TEST_F(SequencerTest, StopAndParameterChangesEndTheRunAtTheNextElementBoundary) {
  window.atEvents[2] = [this] { sequencer.Stp_Click(); };
  go(U"SOS");
  EXPECT_EQ(log, concat({kStart, element('.'), element('.'), {"clear"}, kEnd}));
  expectIdle();

  // A frequency typed in during the run: the pattern sent so far stays.
  window.atEvents = {{2, [this] { window.writeBox(Box::DotFreq, "1100"); }}};
  go(U"SOS");
  EXPECT_EQ(log, concat({kStart, element('.'), element('.'), kEnd}));
  EXPECT_EQ(window.boxes[Box::DotFreq], "1100");
  expectIdle();

  // Stop while a blank is keyed.
  window.atEvents = {{3, [this] { sequencer.Stp_Click(); }}};
  go(U"E  E");
  EXPECT_EQ(
      log,
      concat({kStart, character("."), {"events", "+ ", "play idle.wav", "events", "clear"}, kEnd}));
  expectIdle();
}

TEST_F(SequencerTest, LoopRepeatsWithAnExtraIdleAndAClearedDisplay) {
  window.loop = true;
  window.atEvents[3] = [this] { sequencer.Stp_Click(); };
  go(U"ET");
  const EventLog pass = concat({character("."), character("-")});
  EXPECT_EQ(log, concat({kStart, pass, {"play idle.wav", "clear"}, element('.'), {"clear"}, kEnd}));
  expectIdle();

  // Unticking Loop in the second pass lets that pass finish, and then the run ends.
  window.atEvents = {{3, [this] { window.loop = false; }}};
  window.loop = true;
  go(U"ET");
  EXPECT_EQ(log, concat({kStart, pass, {"play idle.wav", "clear"}, pass, kEnd}));
}

TEST_F(SequencerTest, LoopOverAMessageWithoutElementsCanStillBeStopped) {
  window.loop = true;
  window.atEvents[3] = [this] { sequencer.Stp_Click(); };
  go(U"");
  EXPECT_EQ(log, concat({kStart,
                         {"events", "play idle.wav", "clear", "events", "play idle.wav", "clear",
                          "events", "clear"},
                         kEnd}));
  expectIdle();

  window.atEvents = {{3, [this] { sequencer.Stp_Click(); }}};
  go(U"  ");
  EXPECT_EQ(log, concat({kStart,
                         character(""),
                         character(""),
                         {"play idle.wav", "clear"},
                         {"events", "clear"},
                         kEnd}));
  expectIdle();

  // Without Loop an empty message simply ends.
  window.loop = false;
  go(U"");
  EXPECT_EQ(log, concat({kStart, kEnd}));
}

TEST_F(SequencerTest, EditsDuringARunTakeEffectAtPositionsNotYetSent) {
  // Shortened to one character: each missing position sends two blanks and two idle symbols.
  window.atEvents[1] = [this] { window.text = U"E"; };
  go(U"EEE");
  const EventLog missing{"+ ", "play idle.wav", "events", "+ ", "play idle.wav"};
  EXPECT_EQ(log, concat({kStart, character("."), missing, missing, kEnd}));

  // Typed in during the run: a lower-case letter is keyed as its capital, a character without a
  // pattern like an empty one. GO's upper-casing is not repeated for the next pass.
  window.atEvents = {{1, [this] { window.text = U"E[a"; }}, {5, [this] { window.loop = false; }}};
  window.loop = true;
  go(U"EEE");
  const EventLog later = concat({character("."), character(""), character(".-")});
  EXPECT_EQ(log, concat({kStart, later, {"play idle.wav", "clear"}, later, kEnd}));
  EXPECT_EQ(window.text, U"E[a");
}

TEST_F(SequencerTest, RefusesMessagesItCannotKeyBeforeWritingAnything) {
  go(U"ab[\u00e9_[\u200b");
  EXPECT_EQ(window.text, U"AB[\u00e9_[\u200b");
  expectRefused(
      "The message cannot be keyed: it holds characters that have no Morse pattern: "
      "\"[\", \"\xC3\xA9\", \"_\", U+200B. Remove them and press GO again.");

  go(std::u32string(32768, U'E'));
  expectRefused(
      "The message is too long to key: it has 32768 characters, and at most 32767 can be sent.");
  EXPECT_EQ(window.reports.size(), 2U);
}

TEST_F(SequencerTest, KeysTheLongestMessageToItsEnd) {
  // The last position, 32767, is where a 16-bit counter would wrap around and never stop. The
  // message is emptied at once so the rest of the pass is cheap: every later position is missing.
  window.atEvents[1] = [this] { window.text.clear(); };
  go(std::u32string(32767, U' '));
  EXPECT_EQ(window.pattern.size(), 1U + 2U * 32766U);
  EXPECT_EQ(sound.plays, 1U + 2U * 32766U);
  EXPECT_EQ(log.back(), "idle");
  expectIdle();
}

// A FIFO or a socket at a tone file's name is replaced like any file and never opened: opening a
// FIFO that has no writer would wait for good.
TEST_F(SequencerTest, SpecialFilesAtToneNamesNeitherHangNorStopTheRun) {
  ASSERT_EQ(::mkfifo("Dot.wav", 0644), 0);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "Dash.wav");
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  auto run = std::async(std::launch::async, [this] { go(U"A"); });
  if (run.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "GO hangs on a FIFO";
    std::_Exit(1);  // the blocked thread cannot be joined
  }
  run.get();
  ::close(listener);
  EXPECT_EQ(log, concat({kStart, character(".-"), kEnd}));
  for (const char* name : {"Dot.wav", "Dash.wav"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(name))) << name;
    EXPECT_EQ(framesIn(name), 5512U) << name;
  }
}

TEST_F(SequencerTest, ReportsEveryFailureAndReturnsToIdle) {
  // Tone files too long to write.
  window.writeBox(Box::SymbLen, "1E9");
  go(U"E");
  ASSERT_EQ(window.reports.size(), 1U);
  EXPECT_TRUE(window.reports[0].starts_with("The tone file ")) << window.reports[0];
  EXPECT_EQ(log,
            (EventLog{"message", "box SymbLen " + window.boxes[Box::SymbLen], "clear", "report"}));
  EXPECT_TRUE(dir.entries().empty());
  expectIdle();

  window.writeBox(Box::SymbLen, "0.5");
  sound.openError = true;
  go(U"E");
  EXPECT_EQ(log, (EventLog{"message", "clear", "open", "report"}));
  ASSERT_EQ(window.reports.size(), 2U);
  EXPECT_EQ(window.reports[1],
            "Keying did not start: the sound output could not be opened (Connection refused).");
  expectIdle();

  // The sound output lost during a run, and while draining at its end.
  sound.openError = false;
  sound.failAtPlay = 3;
  go(U"EE");
  EXPECT_EQ(log, concat({kStart, element('.'), {"+ ", "idle", "report"}}));
  ASSERT_EQ(window.reports.size(), 3U);
  EXPECT_EQ(window.reports[2],
            "Keying stopped: the sound output was lost (Connection terminated).");
  expectIdle();

  sound.failAtPlay = 0;
  sound.drainError = true;
  go(U"E");
  EXPECT_EQ(log, concat({kStart, character("."), {"drain", "idle", "report"}}));
  expectIdle();
}

}  // namespace
}  // namespace bitoner
