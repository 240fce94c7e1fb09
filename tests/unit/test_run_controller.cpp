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
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "engine/run_plan.h"
#include "engine/tones.h"
#include "keying/run_controller.h"
#include "sound/null_player.h"
#include "support/plain_boxes.h"
#include "support/played_names.h"
#include "support/temp_dir.h"
#include "support/wav_file.h"

namespace bitoner {
namespace {

using EventLog = std::vector<std::string>;

// A sound service that plays instantly and notes in the log "open", "play <name>" and "drain".
// Before the n-th play it runs the action given for it, as an operator acting while that tone is
// on its way: the run sees it at the next element boundary. It can be told to fail, and it refuses
// to run away: a run that never ends would otherwise hang.
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
    if (const auto action = atPlay.find(plays); action != atPlay.end()) {
      action->second();
    }
    if (plays == failAtPlay) {
      throw SoundError("Connection terminated");
    }
    if (plays > kRunawayPlays) {
      throw std::logic_error("the keying run does not end");
    }
    log_.push_back("play " + std::string(testing::playedName(tone)));
  }

  // Held until the drain when `heardAtDrain`: a player with the whole run queued.
  void whenHeard(std::function<void()> heard) override {
    if (heardAtDrain) {
      held_.push_back(std::move(heard));
    } else {
      heard();
    }
  }

  void drain() override {
    log_.push_back("drain");
    for (const auto& heard : std::exchange(held_, {})) {
      heard();
    }
    if (drainError) {
      throw SoundServerNotResponding("Timeout");
    }
  }

  bool openError = false;
  bool drainError = false;
  bool heardAtDrain = false;
  std::size_t failAtPlay = 0;  // the play (counted from 1) that loses the server; 0 for none
  std::size_t plays = 0;
  std::map<std::size_t, std::function<void()>> atPlay;

 private:
  EventLog& log_;
  std::vector<std::function<void()>> held_;
};

const EventLog kStart{"open"};
const EventLog kEnd{"drain"};

// The log of one element, "." or "-": its tone, its symbol and the gap.
EventLog element(char e) {
  return {e == '.' ? "play dot.wav" : "play dash.wav", std::string("+") + e, "play InterSymb.wav"};
}

// The log one character sends: each element, then the character's blank and idle symbol.
EventLog character(std::string_view elements) {
  EventLog log;
  for (char e : elements) {
    const EventLog one = element(e);
    log.insert(log.end(), one.begin(), one.end());
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

// A front end that takes every piece of progress the moment it comes, on the worker itself, so
// that the log shows plays and display updates in their exact order. GO writes the tone files
// into the working directory, so every case runs in a fresh one.
class RunControllerTest : public ::testing::Test {
 protected:
  // Prepares the message from the boxes as GO does and keys it to its end; false if refused.
  bool go(const std::u32string& message) {
    log.clear();
    pattern.clear();
    sound.plays = 0;
    auto prepared = prepareRun(boxes.texts, message, false);
    if (std::holds_alternative<RunRefusal>(prepared)) {
      return false;
    }
    const RunPlan& plan = std::get<RunPlan>(prepared);
    ended = {};
    run.start(RunRequest{
        .tones = plan.tones, .message = plan.message, .loop = loop, .toneDirectory = "."});
    const auto result = ended.get_future().wait_for(std::chrono::seconds(60));
    EXPECT_EQ(result, std::future_status::ready) << "the run did not end";
    run.waitForEnd();
    return true;
  }

  void take() {
    const RunProgress progress = run.takeProgress();
    if (progress.cleared) {
      log.push_back("clear");
      pattern.clear();
    }
    for (const char symbol : progress.appended) {
      log.push_back(std::string("+") + symbol);
      pattern += symbol;
    }
    if (progress.end) {
      end = *progress.end;
      ended.set_value();
    }
  }

  testing::TempWorkDir dir;
  testing::PlainBoxes boxes;
  EventLog log;
  std::string pattern;
  bool loop = false;
  FakeSound sound{log};
  RunController run{sound, [this] { take(); }};
  RunEnd end;
  std::promise<void> ended;
};

TEST_F(RunControllerTest, KeysMessagesInExactPlayAndDisplayOrder) {
  ASSERT_TRUE(go(U"E"));
  EXPECT_EQ(log, (EventLog{"open", "play dot.wav", "+.", "play InterSymb.wav", "+ ",
                           "play idle.wav", "drain"}));
  EXPECT_EQ(end.kind, RunEnd::Kind::Completed);
  for (std::string_view name : kToneFileNames) {
    EXPECT_TRUE(std::filesystem::exists(name)) << name;
  }

  ASSERT_TRUE(go(U"A B"));  // the space sends one more idle symbol and shows a second blank
  EXPECT_EQ(log, concat({kStart, character(".-"), character(""), character("-..."), kEnd}));

  ASSERT_TRUE(go(U"6"));
  EXPECT_EQ(log, concat({kStart, character("-...."), kEnd}));

  ASSERT_TRUE(go(U"SOS"));
  EXPECT_EQ(log, concat({kStart, character("..."), character("---"), character("..."), kEnd}));
  EXPECT_FALSE(run.running());
}

TEST_F(RunControllerTest, TheDisplayShowsWhatHasBeenHeard) {
  sound.heardAtDrain = true;
  ASSERT_TRUE(go(U"E"));
  EXPECT_EQ(log, (EventLog{"open", "play dot.wav", "play InterSymb.wav", "play idle.wav", "drain",
                           "+.", "+ "}));
}

TEST_F(RunControllerTest, PreparationUpperCasesNormalisesAndRefusesAsValues) {
  boxes.writeBox(Box::SymbLen, "250");
  auto prepared = prepareRun(boxes.texts, U"e", true);
  ASSERT_TRUE(std::holds_alternative<RunPlan>(prepared));
  const RunPlan& plan = std::get<RunPlan>(prepared);
  EXPECT_EQ(plan.message, U"E");
  EXPECT_EQ(plan.symbLenText, " .25");
  EXPECT_EQ(textOf(plan.boxTexts, Box::SymbLen), " .25");
  EXPECT_DOUBLE_EQ(plan.parameters.SymbolLength, 0.25);
  EXPECT_DOUBLE_EQ(plan.tones.InterSymbol, 10.0 / 100 * 0.25);
  EXPECT_TRUE(plan.tones.invert);

  // The tone files are made from the normalised length, from the tones that play.
  ASSERT_TRUE(go(U"e"));
  EXPECT_EQ(framesIn("Idle.wav"), 2756U);
  EXPECT_EQ(framesIn("Dot.wav"), 2756U);
  EXPECT_EQ(framesIn("InterSymb.wav"), 276U);

  prepared = prepareRun(boxes.texts, U"ab[\u00e9_[\u200b", false);
  ASSERT_TRUE(std::holds_alternative<RunRefusal>(prepared));
  const RunRefusal& refused = std::get<RunRefusal>(prepared);
  EXPECT_EQ(refused.message, U"AB[\u00e9_[\u200b");
  EXPECT_EQ(refused.reason.unkeyable, (std::vector<char32_t>{U'[', U'\u00e9', U'_', U'\u200b'}));
  EXPECT_FALSE(refused.reason.tooLong());

  prepared = prepareRun(boxes.texts, std::u32string(32768, U'E'), false);
  ASSERT_TRUE(std::holds_alternative<RunRefusal>(prepared));
  EXPECT_TRUE(std::get<RunRefusal>(prepared).reason.tooLong());
}

TEST_F(RunControllerTest, StopAndParameterChangesEndTheRunAtTheNextElementBoundary) {
  sound.atPlay[3] = [this] { run.stop(); };  // during the second dot of S
  ASSERT_TRUE(go(U"SOS"));
  EXPECT_EQ(log, concat({kStart, element('.'), element('.'), {"clear"}, kEnd}));
  EXPECT_EQ(end.kind, RunEnd::Kind::Ended);

  // A frequency typed in during the run: the pattern sent so far stays.
  sound.atPlay = {{3, [this] { run.end(); }}};
  ASSERT_TRUE(go(U"SOS"));
  EXPECT_EQ(log, concat({kStart, element('.'), element('.'), kEnd}));
  EXPECT_EQ(pattern, "..");

  // Stop while a blank is keyed: the next blank's boundary ends the run.
  sound.atPlay = {{4, [this] { run.stop(); }}};
  ASSERT_TRUE(go(U"E  E"));
  EXPECT_EQ(log, concat({kStart, character("."), {"+ ", "play idle.wav", "clear"}, kEnd}));
}

TEST_F(RunControllerTest, LoopRepeatsWithAnExtraIdleAndAClearedDisplay) {
  loop = true;
  sound.atPlay[9] = [this] { run.stop(); };  // the gap of the second pass's E
  ASSERT_TRUE(go(U"ET"));
  const EventLog pass = concat({character("."), character("-")});
  EXPECT_EQ(log, concat({kStart, pass, {"play idle.wav", "clear"}, element('.'), {"clear"}, kEnd}));

  // Unticking Loop in the second pass lets that pass finish, and then the run ends.
  sound.atPlay = {{9, [this] { run.setLoop(false); }}};
  ASSERT_TRUE(go(U"ET"));
  EXPECT_EQ(log, concat({kStart, pass, {"play idle.wav", "clear"}, pass, kEnd}));
}

TEST_F(RunControllerTest, LoopOverAMessageWithoutElementsCanStillBeStopped) {
  loop = true;
  sound.atPlay[2] = [this] { run.stop(); };
  ASSERT_TRUE(go(U""));
  EXPECT_EQ(log,
            concat({kStart, {"play idle.wav", "clear", "play idle.wav", "clear", "clear"}, kEnd}));

  sound.atPlay = {{3, [this] { run.stop(); }}};
  ASSERT_TRUE(go(U"  "));
  EXPECT_EQ(
      log,
      concat({kStart, character(""), character(""), {"play idle.wav", "clear"}, {"clear"}, kEnd}));

  // Without Loop an empty message simply ends.
  loop = false;
  sound.atPlay.clear();
  ASSERT_TRUE(go(U""));
  EXPECT_EQ(log, concat({kStart, kEnd}));
}

TEST_F(RunControllerTest, EditsDuringARunTakeEffectAtPositionsNotYetSent) {
  // Shortened to one character: each missing position sends two blanks and two idle symbols.
  sound.atPlay[2] = [this] { run.setMessage(U"E"); };
  ASSERT_TRUE(go(U"EEE"));
  const EventLog missing{"+ ", "play idle.wav", "+ ", "play idle.wav"};
  EXPECT_EQ(log, concat({kStart, character("."), missing, missing, kEnd}));

  // Typed in during the run: a lower-case letter is keyed as its capital, a character without a
  // pattern like an empty one. GO's upper-casing is not repeated for the next pass.
  sound.atPlay = {{2, [this] { run.setMessage(U"E[a"); }}, {12, [this] { run.setLoop(false); }}};
  loop = true;
  ASSERT_TRUE(go(U"EEE"));
  const EventLog later = concat({character("."), character(""), character(".-")});
  EXPECT_EQ(log, concat({kStart, later, {"play idle.wav", "clear"}, later, kEnd}));
}

TEST_F(RunControllerTest, KeysTheLongestMessageToItsEnd) {
  // The last position, 32767, is where a 16-bit counter would wrap around and never stop. The
  // message is emptied while the first blank is heard so the rest of the pass is cheap: from the
  // third position on, every position is missing.
  sound.atPlay[1] = [this] { run.setMessage(U""); };
  ASSERT_TRUE(go(std::u32string(32767, U' ')));
  EXPECT_EQ(pattern.size(), 2U + 2U * 32765U);
  EXPECT_EQ(sound.plays, 2U + 2U * 32765U);
  EXPECT_EQ(log.back(), "drain");
}

// A FIFO or a socket at a tone file's name is replaced like any file and never opened: opening a
// FIFO that has no writer would wait for good.
TEST_F(RunControllerTest, SpecialFilesAtToneNamesNeitherHangNorStopTheRun) {
  ASSERT_EQ(::mkfifo("Dot.wav", 0644), 0);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, "Dash.wav");
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  auto keyed = std::async(std::launch::async, [this] { return go(U"A"); });
  if (keyed.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "GO hangs on a FIFO";
    std::_Exit(1);  // the blocked thread cannot be joined
  }
  EXPECT_TRUE(keyed.get());
  ::close(listener);
  EXPECT_EQ(log, concat({kStart, character(".-"), kEnd}));
  for (const char* name : {"Dot.wav", "Dash.wav"}) {
    EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(name))) << name;
    EXPECT_EQ(framesIn(name), 5512U) << name;
  }
}

TEST_F(RunControllerTest, EveryFailureEndsTheRunWithItsReason) {
  // Tone files too long to write: nothing written, nothing opened.
  boxes.writeBox(Box::SymbLen, "1E9");
  ASSERT_TRUE(go(U"E"));
  EXPECT_EQ(end.kind, RunEnd::Kind::ToneFailed);
  EXPECT_TRUE(end.detail.starts_with("The tone file ")) << end.detail;
  EXPECT_TRUE(log.empty());
  EXPECT_TRUE(dir.entries().empty());

  boxes.writeBox(Box::SymbLen, "0.5");
  sound.openError = true;
  ASSERT_TRUE(go(U"E"));
  EXPECT_EQ(log, EventLog{"open"});
  EXPECT_EQ(end.kind, RunEnd::Kind::SoundFailed);
  EXPECT_FALSE(end.keying);
  EXPECT_EQ(end.detail, "Connection refused");

  // The sound output lost during a run, and while draining at its end.
  sound.openError = false;
  sound.failAtPlay = 3;
  ASSERT_TRUE(go(U"EE"));
  EXPECT_EQ(log, concat({kStart, element('.'), {"+ "}}));
  EXPECT_EQ(end.kind, RunEnd::Kind::SoundFailed);
  EXPECT_TRUE(end.keying);
  EXPECT_FALSE(end.notResponding);

  sound.failAtPlay = 0;
  sound.drainError = true;
  ASSERT_TRUE(go(U"E"));
  EXPECT_EQ(log, concat({kStart, character("."), kEnd}));
  EXPECT_TRUE(end.keying);
  EXPECT_TRUE(end.notResponding);
}

// A front end that does not get round to taking progress holds the run up in nothing: the worker
// keys to the end, and one take then holds everything, merged, after a single wake-up.
TEST(RunController, AFrontEndThatFallsBehindHoldsNothingUpAndCatchesUpInOne) {
  NullPlayer sound(NullPlayer::Pace::AsFastAsAsked);
  int wakes = 0;
  RunController run(sound, [&wakes] { ++wakes; });
  testing::PlainBoxes boxes;
  const RunPlan plan = std::get<RunPlan>(prepareRun(boxes.texts, U"SOS", false));
  run.start(RunRequest{
      .tones = plan.tones, .message = plan.message, .loop = false, .toneDirectory = std::nullopt});
  run.waitForEnd();
  EXPECT_EQ(sound.framesPlayed(), 12 * 5512 + 9 * 551) << "every tone played";
  const RunProgress progress = run.takeProgress();
  EXPECT_EQ(wakes, 1);
  EXPECT_EQ(progress.appended, "... --- ... ");
  ASSERT_TRUE(progress.end);
  EXPECT_EQ(progress.end->kind, RunEnd::Kind::Completed);
  EXPECT_FALSE(run.running());
}

}  // namespace
}  // namespace bitoner
