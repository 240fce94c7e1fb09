// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <complex>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sound/pulse_capture.h"

namespace bitoner::cli {

// A sound server's source recorded by a live command that runs unattended for months: a server
// lost while recording (a restart, a crash) is said on standard error and tried again every 2 s
// until it answers or a stop signal comes, and recording goes on. The caller installs the stop
// signals.
class LiveSource {
 public:
  // `command` names the subcommand in what is said; `resumed` says what it does again once the
  // server is back ("decoding again"). Throws SoundError when the source cannot be recorded at
  // the start.
  LiveSource(std::string command, std::string source, std::uint32_t rateHz, std::string resumed);
  ~LiveSource();
  LiveSource(const LiveSource&) = delete;
  LiveSource& operator=(const LiveSource&) = delete;

  // Appends what has been recorded since the last call to `out`, waiting up to 200 ms for it;
  // while the server is away, waits for the next try instead and appends nothing. False once per
  // loss, on the call that found the server gone: what is recorded afterwards does not follow on
  // from what came before.
  bool read(std::vector<std::complex<float>>& out);

 private:
  std::string command_;
  std::string source_;
  std::uint32_t rateHz_;
  std::string resumed_;
  std::unique_ptr<PulseCapture> capture_;
};

}  // namespace bitoner::cli
