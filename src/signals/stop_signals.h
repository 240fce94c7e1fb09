// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <csignal>
#include <initializer_list>

namespace bitoner {

// Catches the signals that ask the program to end (SIGINT, SIGTERM, SIGHUP unless told otherwise)
// while it lives, so that the program ends at a point of its own choosing: a run after its
// element, a file writer after removing its temporary file. The handler only notes the signal and
// wakes whoever watches; everything else happens on the program's own threads. One may live at a
// time; the handlers that were there before come back when it goes.
class StopSignals {
 public:
  struct Options {
    // Calls blocked when a signal comes (a write to a full pipe) return early with EINTR instead of
    // going on, for code that looks for the signal after every call.
    bool interruptCalls = false;
    // A second signal ends the process at once, as the shell expects of a signal it sends again.
    bool secondEndsProcess = false;
  };

  explicit StopSignals(Options options) : StopSignals({SIGINT, SIGTERM, SIGHUP}, options) {}
  StopSignals(std::initializer_list<int> caught, Options options);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first signal that came, or 0. Safe to ask from any thread.
  static int received() noexcept;
  // How many have come.
  static int count() noexcept;

  // Waits until a signal has come or `timeout` has passed; true if one has come.
  static bool waitFor(std::chrono::milliseconds timeout);

  // A descriptor that becomes readable when a signal comes, for an event loop to watch; read it
  // empty with clearWake() before waiting again.
  static int wakeDescriptor() noexcept;
  static void clearWake() noexcept;

  // Ends the process by `signal` as if it had never been caught, so that the shell sees the
  // status it expects (128 + the signal's number).
  [[noreturn]] static void endBy(int signal);
};

}  // namespace bitoner
