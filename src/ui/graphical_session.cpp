// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/graphical_session.h"

#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

namespace bitoner {

namespace {

constexpr const char* kNoSession =
    "bitoner: the window needs a graphical session (X11 or Wayland), and none was found; "
    "for the command line, see bitoner --help\n";

QtMessageHandler toolkitHandler = nullptr;

[[noreturn]] void refuse() {
  std::fputs(kNoSession, stderr);
  std::fflush(nullptr);
  std::_Exit(1);
}

// The toolkit ends the process with an abort and a word about reinstalling when it cannot open
// the display it was given (a display that is gone, a platform that is missing); the operator
// learns more from our line.
void noDisplayIsNoCrash(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type == QtFatalMsg && text.contains(QStringLiteral("platform plugin"))) {
    refuse();
  }
  toolkitHandler(type, context, text);
}

}  // namespace

void requireGraphicalSession() {
  // A platform chosen by name (offscreen, a VNC server) is the toolkit's to judge.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
      qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    refuse();
  }
  toolkitHandler = qInstallMessageHandler(noDisplayIsNoCrash);
}

}  // namespace bitoner
