// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QWidget>
#include <cerrno>
#include <stdexcept>

#include "engine/tones.h"

namespace bitoner {

namespace {

// The handler's end of the socket pair; the window's thread watches the other end.
int signalWriteEnd = -1;

void onQuitSignal(int /*signal*/) {
  const int savedErrno = errno;
  stopToneWrites();
  const char byte = 1;
  // A full socket already holds a wake-up; nothing is lost by dropping this one.
  [[maybe_unused]] const ssize_t written = ::write(signalWriteEnd, &byte, 1);
  errno = savedErrno;
}

}  // namespace

void closeOnQuitSignals(QWidget& window) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0) {
    throw std::runtime_error("cannot watch for quit signals: no socket pair");
  }
  signalWriteEnd = ends[1];

  auto* notifier = new QSocketNotifier(ends[0], QSocketNotifier::Read, &window);
  QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, notifier] {
    char bytes[16];
    while (::read(static_cast<int>(notifier->socket()), bytes, sizeof bytes) > 0) {
    }
    window.close();
  });

  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int quitSignal : {SIGINT, SIGTERM}) {
    if (::sigaction(quitSignal, &action, nullptr) != 0) {
      throw std::runtime_error("cannot watch for quit signals: sigaction failed");
    }
  }
}

}  // namespace bitoner
