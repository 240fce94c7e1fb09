// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/wav_file.h"

namespace bitoner::testing {

// Which server a private daemon runs: PulseAudio itself, or PipeWire with its PulseAudio server
// (and WirePlumber to link the streams), as most desktops now have it.
enum class ServerKind { PulseAudio, PipeWire };

// The kind named by BITONER_TEST_SOUND_SERVER ("pulseaudio", the default, or "pipewire").
ServerKind serverKindFromEnvironment();

// A private sound server with one null sink at 11025 Hz (or the rate asked for), two channels,
// in a runtime directory of its own. While it lives, PULSE_SERVER points this process (and children
// it starts) at it. The server is stopped and its directory removed however the test ends.
class PrivatePulse {
 public:
  // Starts the server and waits until it answers; throws std::runtime_error.
  explicit PrivatePulse(ServerKind kind = serverKindFromEnvironment(),
                        std::uint32_t rateHz = 11025);
  ~PrivatePulse();
  PrivatePulse(const PrivatePulse&) = delete;
  PrivatePulse& operator=(const PrivatePulse&) = delete;

  ServerKind kind() const;
  std::uint32_t rateHz() const;
  const std::string& serverAddress() const;  // "unix:<dir>/native"

  // Kills the server at once (SIGKILL), as a crash would: its clients lose it mid-stream.
  void killDaemon();

  // Kills the server and starts it afresh at the same address, as a restarted desktop server is.
  // Recorders of the old server record nothing more.
  void restartDaemon();

  // Stops the server (SIGSTOP) and lets it go on (SIGCONT), as a hung or starved server would.
  void pauseDaemon();
  void resumeDaemon();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Records the null sink's monitor (interleaved I, Q samples) from construction until stop().
class MonitorRecorder {
 public:
  explicit MonitorRecorder(const PrivatePulse& pulse);
  ~MonitorRecorder();
  MonitorRecorder(const MonitorRecorder&) = delete;
  MonitorRecorder& operator=(const MonitorRecorder&) = delete;

  // Waits a little for the last queued audio to come through, stops and returns the recording.
  std::vector<std::int16_t> stop();

  // When the recording's frame `frame` reached this process at the soonest: the frames are placed
  // on the steady clock at the sink's rate by the read that was least delayed (valid after stop();
  // the last frame's time for frames past the end).
  std::chrono::steady_clock::time_point arrivalTime(std::size_t frame) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The plays GO makes for one pass of `message` (in capitals), by the names the sequencer uses.
std::vector<std::string> playOrder(std::u32string_view message);

// The frames of the named tone files in the working directory (names taken without regard to
// case, so that the names the sequencer logs can be used), one after the other.
std::vector<std::int16_t> framesOf(const std::vector<std::string>& names);

// Where the signal starts in `recording` (its first frame that is not silent), as an index into
// the interleaved samples, or -1 if the recording holds no signal.
std::ptrdiff_t signalStart(const std::vector<std::int16_t>& recording);

// How a recording of the monitor compares with the frames that were played, both interleaved.
struct SignalComparison {
  bool equal = false;              // played frames in order, bit for bit, silence after them
  std::size_t missingAtStart = 0;  // played frames absent from the recording's start
  std::size_t silentInside = 0;    // silent frames between the first and last signal frame
  std::size_t recordedFrames = 0;  // frames from the first to the last signal frame
  std::string description;         // the first difference, in words, when not equal
};

// Compares the recording from its first signal frame with `expected`, allowing at most
// `maxMissingAtStart` of the played frames to be absent from its start.
SignalComparison compareSignal(const std::vector<std::int16_t>& recording,
                               const std::vector<std::int16_t>& expected,
                               std::size_t maxMissingAtStart);

// The first frames of a recording may be lost while the monitor starts up.
inline constexpr std::size_t kMaxMissingFrames = 110;  // 10 ms at 11025 Hz

// Expects the recording to hold `expected` bit for bit as one unbroken signal, but for at most
// kMaxMissingFrames frames missing at its start.
void expectRecorded(const std::vector<std::int16_t>& recording,
                    const std::vector<std::int16_t>& expected);

}  // namespace bitoner::testing
