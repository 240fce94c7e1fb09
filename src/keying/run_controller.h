// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "engine/tones.h"
#include "sound/sound_service.h"

namespace bitoner {

// How a run ended. The front end words it for its own user.
struct RunEnd {
  enum class Kind : std::uint8_t {
    Completed,    // the steps ran to their end
    Ended,        // a request (Stop, an edit, a close) ended it at an element boundary
    Cancelled,    // Stop or a close gave the writing of the tone files up
    ToneFailed,   // the tones could not be planned or written; `detail` says why, for the operator
    SoundFailed,  // the sound output could not be opened, or was lost while keying
  };
  Kind kind = Kind::Completed;
  bool keying = false;         // SoundFailed: lost while keying, not at the start
  bool notResponding = false;  // SoundFailed: the server is there but stopped answering
  std::string detail;          // the reason, in the words of the part that failed
};

// What the front end has yet to show, merged however far it has fallen behind: the display
// emptied (before `appended`), the symbols it gained since, how far the tone files are written,
// and the end of the run.
struct RunProgress {
  bool cleared = false;
  std::string appended;
  std::optional<std::pair<std::int64_t, std::int64_t>> writing;  // frames done, frames in all
  bool writingDone = false;
  std::optional<RunEnd> end;

  bool empty() const { return !cleared && appended.empty() && !writing && !writingDone && !end; }
};

// What a run keys.
struct RunRequest {
  ToneInputs tones;
  std::u32string message;  // upper-cased and checked already
  bool loop = false;
  // Where the tone files are written from the tones that play, before keying; none: no files.
  std::optional<std::filesystem::path> toneDirectory;
};

// The one place a run happens, for the window, the tests and the benchmarks. A worker thread makes
// the tones (once), writes the tone files when asked, walks the keying steps and plays through the
// sound service. The front end's input goes into a control block that the worker reads at element
// boundaries without waiting for anyone; what the display gains goes back as progress, once the
// sound before it has been heard, that the front end takes when it can. The signal never waits on
// the front end's thread.
class RunController {
 public:
  // `wake` is called on the worker (or the player's thread) whenever progress comes and none was
  // waiting to be taken: the front end then calls takeProgress() on its own thread, once.
  RunController(SoundService& sound, std::function<void()> wake);
  ~RunController();
  RunController(const RunController&) = delete;
  RunController& operator=(const RunController&) = delete;

  // Starts a run; nothing happens while one is running.
  void start(RunRequest request);

  // From start() until the front end has taken the run's end.
  bool running() const { return running_; }

  // Input, from the front end's thread, taken at the next element boundary. Stop also empties the
  // display there; Stop and close give the writing of the tone files up at once.
  void stop();
  void end();
  void close();
  void setLoop(bool loop);
  void setMessage(std::u32string message);

  // What the run did since the last call, merged.
  RunProgress takeProgress();

  // Waits until the worker has published the run's end (the end is still to be taken), for a
  // front end that has nothing else to do meanwhile.
  void waitForEnd();

  // When the run is expected to reach its next element boundary, as far as the worker knows; none
  // before keying begins.
  std::optional<std::chrono::steady_clock::time_point> nextBoundary() const;

 private:
  class Input;
  class Observer;

  void work(RunRequest request);
  RunEnd key(const RunRequest& request, const ToneBank& tones);
  void publish(const std::function<void(RunProgress&)>& change);
  void publishCleared();
  bool givenUp() const { return stop_ || close_; }

  SoundService& sound_;
  std::function<void()> wake_;
  std::thread worker_;
  std::atomic<bool> running_{false};

  // The control block: written by the front end, read by the worker without waiting.
  std::atomic<bool> stop_{false};
  std::atomic<bool> end_{false};
  std::atomic<bool> close_{false};
  std::atomic<bool> loop_{false};
  std::atomic<std::uint64_t> messageVersion_{0};
  mutable std::mutex messageMutex_;  // held only to hand the snapshot over
  std::shared_ptr<const std::u32string> message_;
  std::atomic<std::int64_t> nextBoundaryNs_{0};  // steady clock; 0: unknown

  std::mutex progressMutex_;
  RunProgress progress_;
};

}  // namespace bitoner
