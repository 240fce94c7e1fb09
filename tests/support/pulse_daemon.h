#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
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

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The frames of a WAV file as libsndfile reads them, interleaved.
std::vector<std::int16_t> readWavSamples(const std::filesystem::path& file);

// Where `expected` starts in `recording` (the first frame that is not silent), or -1 if the
// recording holds no signal. Comparing from there shows gaps and corrupted frames exactly.
std::ptrdiff_t signalStart(const std::vector<std::int16_t>& recording);

}  // namespace bitoner::testing
