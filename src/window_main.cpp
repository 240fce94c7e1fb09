// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <exception>

#include "sound/pulse_player.h"
#include "ui/form1.h"
#include "ui/graphical_session.h"
#include "ui/quit_signals.h"

// The window, which `bitoner` without arguments becomes.
int main(int argc, char* argv[]) {
  bitoner::requireGraphicalSession();
  QApplication app(argc, argv);
  try {
    bitoner::PulsePlayer player;
    bitoner::Form1 form(player);
    bitoner::closeOnQuitSignals(form);
    QApplication::setWindowIcon(form.windowIcon());
    form.show();
    return QApplication::exec();
  } catch (const std::exception& error) {
    // The last resort: whatever escaped is shown to the operator instead of vanishing silently.
    QMessageBox::critical(
        nullptr, QStringLiteral("Bitoner"),
        QStringLiteral("Bitoner has to stop: %1").arg(QString::fromUtf8(error.what())));
    return 1;
  }
}
