// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "engine/tones.h"
#include "keying/schedule.h"
#include "signals/stop_signals.h"
#include "sound/sound_service.h"

namespace bitoner {

// What a beacon keys and when.
struct BeaconConfig {
  std::u32string message;                 // upper-cased and checked already
  std::shared_ptr<const ToneBank> tones;  // the run's four tones
  std::int32_t sampleRateHz = 0;
  std::optional<PassSchedule> schedule;  // passes on the wall clock; none: back to back
  std::optional<std::int64_t> passes;    // stop after this many whole passes; none: never
  bool quiet = false;                    // only faults are reported
  bool terminal = false;                 // the report goes to a terminal: show the pattern grow
  std::chrono::milliseconds retryEvery{2000};  // how often a lost sound server is tried again
  const Clocks* clocks = &systemClocks();      // the clocks the schedule follows
};

// Keys the message pass after pass through `sound`, each followed by the idle symbol a Loop adds,
// until the passes are done or a stop signal comes (the run ends after the element being sent; the
// waits between tries of a lost server end at once); a lost or unreachable sound server is reported
// on `report` and tried again until it is back. A step of the wall clock is reported, and the
// schedule follows the new time. Each line and pattern symbol is written when the sound before it
// has been heard, possibly from the player's thread: `report` must outlive the player. False when
// it ended while the sound server could not be reached or the device named to play on does not
// exist.
bool runBeacon(const BeaconConfig& config, TimedSound& sound, const StopSignals& stop,
               std::ostream& report);

}  // namespace bitoner
