// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>

#include <chrono>

#include "signals/stop_signals.h"

namespace bitoner {
namespace {

using std::chrono::milliseconds;

TEST(StopSignals, NoteWhichCameFirstWakeWatchersAndGiveTheOldHandlersBack) {
  {
    const StopSignals caught({.interruptCalls = false, .secondEndsProcess = false});
    EXPECT_FALSE(StopSignals::waitFor(milliseconds(1)));
    ::raise(SIGHUP);
    ::raise(SIGTERM);
    EXPECT_TRUE(StopSignals::waitFor(milliseconds(0)));
    EXPECT_EQ(StopSignals::received(), SIGHUP);
    EXPECT_EQ(StopSignals::count(), 2);
    pollfd watched{.fd = StopSignals::wakeDescriptor(), .events = POLLIN, .revents = 0};
    EXPECT_EQ(::poll(&watched, 1, 0), 1);
    StopSignals::clearWake();
    EXPECT_EQ(::poll(&watched, 1, 0), 0);
  }
  struct sigaction now {};
  ::sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);

  // The next one starts afresh.
  const StopSignals again({.interruptCalls = true, .secondEndsProcess = false});
  EXPECT_EQ(StopSignals::received(), 0);
  EXPECT_EQ(StopSignals::count(), 0);
}

}  // namespace
}  // namespace bitoner
