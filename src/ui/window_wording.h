// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QTime>
#include <cstddef>
#include <optional>
#include <string>

#include "engine/keying_steps.h"
#include "keying/run_controller.h"

namespace bitoner {

// What the window says to the operator beyond its controls' captions: the title it and its
// message boxes carry, and every message, in one place so that the window speaks with one voice.

// The window's title, also on every message box it opens.
QString windowCaption();

// Why GO did not start keying a message.
std::string refusalText(const MessageRefusal& refusal);

// Why a run did not start or ended early; nothing for a run that went as asked.
std::optional<std::string> failureText(const RunEnd& end);

// That a paste or drop into the message box left `dropped` characters (code points) out.
std::string cutText(std::size_t dropped);

// The note shown while a window closed during an element waits for the element's end, which is
// at `endsAt` when that is known.
QString closingText(std::optional<QTime> endsAt);

// The write progress bar's text, with Qt's %p standing for the percentage.
QString writingProgressFormat();

}  // namespace bitoner
