// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sound/sound_service.h"

namespace bitoner {

// Records a sound server source (a receiver's audio, or a sink's monitor) as I/Q: the left channel
// is I, the right Q; a mono source comes up as both. The server converts to the rate asked for.
// Every wait on the server has a deadline; a lost server is reported as SoundError.
class PulseCapture {
 public:
  // Connects and starts recording `source` (empty: the server's default source). Throws SoundError.
  PulseCapture(const std::string& source, std::uint32_t rateHz);
  ~PulseCapture();
  PulseCapture(const PulseCapture&) = delete;
  PulseCapture& operator=(const PulseCapture&) = delete;

  // Appends what has been recorded since the last call to `out`, waiting up to `wait` for
  // something to come. Throws SoundError if the server is lost.
  void read(std::vector<std::complex<float>>& out, std::chrono::milliseconds wait);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bitoner
