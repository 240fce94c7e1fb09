// SPDX-License-Identifier: GPL-3.0-or-later
#include "signals/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <utility>
#include <vector>

namespace bitoner {

namespace {

// What the handler touches: lock-free atomics and a pipe, nothing else.
std::atomic<int> firstSignal{0};
std::atomic<int> signalCount{0};
std::atomic<bool> secondEnds{false};
std::array<int, 2> wakePipe{-1, -1};
std::atomic<bool> alive{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

extern "C" void onStopSignal(int signal) {
  const int savedErrno = errno;
  int expected = 0;
  firstSignal.compare_exchange_strong(expected, signal);
  if (signalCount.fetch_add(1) >= 1 && secondEnds.load()) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
  }
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing is lost by dropping this one.
  [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

namespace {
// The handlers to put back; touched only by the constructor and the destructor.
std::vector<std::pair<int, struct sigaction>> previousActions;
}  // namespace

StopSignals::StopSignals(std::initializer_list<int> caught, Options options) {
  if (alive.exchange(true)) {
    throw std::logic_error("only one StopSignals may live at a time");
  }
  if (wakePipe[0] < 0 && ::pipe2(wakePipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
    alive = false;
    throw std::runtime_error("cannot watch for stop signals: no pipe");
  }
  clearWake();
  firstSignal = 0;
  signalCount = 0;
  secondEnds = options.secondEndsProcess;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = options.interruptCalls ? 0 : SA_RESTART;
  for (const int signal : caught) {
    struct sigaction previous {};
    ::sigaction(signal, &action, &previous);
    previousActions.emplace_back(signal, previous);
  }
}

StopSignals::~StopSignals() {
  for (const auto& [signal, previous] : previousActions) {
    ::sigaction(signal, &previous, nullptr);
  }
  previousActions.clear();
  alive = false;
}

int StopSignals::received() noexcept { return firstSignal.load(); }

int StopSignals::count() noexcept { return signalCount.load(); }

bool StopSignals::waitFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (received() == 0) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return false;
    }
    pollfd watched{.fd = wakePipe[0], .events = POLLIN, .revents = 0};
    ::poll(&watched, 1, static_cast<int>(std::min<std::int64_t>(left.count(), INT32_MAX)));
  }
  return true;
}

int StopSignals::wakeDescriptor() noexcept { return wakePipe[0]; }

void StopSignals::clearWake() noexcept {
  char bytes[16];
  while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
  }
}

void StopSignals::endBy(int signal) {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
  std::_Exit(128 + signal);  // only if the signal is ignored by default
}

}  // namespace bitoner
