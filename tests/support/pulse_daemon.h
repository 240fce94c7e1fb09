#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bitoner::testing {

// A private PulseAudio daemon with one null sink at 11025 Hz, two channels, in a runtime directory
// of its own. While it lives, PULSE_SERVER points this process (and children it starts) at it.
// The daemon is stopped and its directory removed however the test ends.
class PrivatePulse {
 public:
  PrivatePulse();  // starts the daemon and waits until it answers; throws std::runtime_error
  ~PrivatePulse();
  PrivatePulse(const PrivatePulse&) = delete;
  PrivatePulse& operator=(const PrivatePulse&) = delete;

  const std::string& serverAddress() const;  // "unix:<dir>/native"
  const std::string& sinkName() const;

  // Kills the daemon at once (SIGKILL), as a crash would: its clients lose it mid-stream.
  void killDaemon();

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

  // When the recording's frame `frame` reached this process, read by the monitor stream (valid
  // after stop(); the last read's time for frames past the end).
  std::chrono::steady_clock::time_point arrivalTime(std::size_t frame) const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The frames of a WAV file as libsndfile reads them, interleaved.
std::vector<std::int16_t> readWavSamples(const std::filesystem::path& file);

// The plays GO makes for one pass of `message` (in capitals), by the names the sequencer uses.
std::vector<std::string> playOrder(std::u32string_view message);

// The frames of the named files in the working directory, one after the other, each name found
// as the player finds it (the exact name first, else one that differs only in case).
std::vector<std::int16_t> framesOf(const std::vector<std::string>& names);

// Where `expected` starts in `recording` (the first frame that is not silent), as an index into the
// interleaved samples, or -1 if the recording holds no signal. Comparing from there shows gaps and
// corrupted frames exactly.
std::ptrdiff_t signalStart(const std::vector<std::int16_t>& recording);

// How a recording of the monitor compares with the frames that were played, both interleaved
// stereo.
struct SignalComparison {
  bool equal = false;              // played frames in order, bit for bit, silence after them
  std::size_t missingAtStart = 0;  // played frames absent from the recording's start
  std::size_t silentInside = 0;    // silent frames between the first and last signal frame
  std::size_t recordedFrames = 0;  // frames from the first to the last signal frame
  std::size_t extraAfter = 0;      // signal frames recorded after the played ones
  std::string description;         // the first difference, in words, when not equal
};

// Compares the recording with `expected`, allowing at most `maxMissingAtStart` of its first frames
// to be absent from the recording.
SignalComparison compareSignal(const std::vector<std::int16_t>& recording,
                               const std::vector<std::int16_t>& expected,
                               std::size_t maxMissingAtStart);

// The first frames of a recording may be lost while the monitor starts up.
inline constexpr std::size_t kMaxMissingFrames = 110;  // 10 ms at 11025 Hz

// Expects the recording to hold `expected` bit for bit, as one signal with no silent frame inside,
// but for at most kMaxMissingFrames frames missing at its start.
void expectRecorded(const std::vector<std::int16_t>& recording,
                    const std::vector<std::int16_t>& expected);

}  // namespace bitoner::testing
