// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/message_edit.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <memory>
#include <utility>

namespace bitoner {

MessageEdit::MessageEdit(QWidget* parent, CutNotice onCut)
    : QLineEdit(parent), onCut_(std::move(onCut)) {}

void MessageEdit::checkedInsert(const QString& incoming, bool replacesSelection,
                                const std::function<void()>& insertion) {
  const qsizetype before = text().size() - (replacesSelection ? selectedText().size() : 0);
  insertion();
  const qsizetype kept = text().size() - before;
  if (kept < 0 || kept >= incoming.size()) {
    return;
  }
  // The line edit keeps the head of the insertion; the rest is counted in characters, as the
  // operator counts them, not in UTF-16 units.
  const auto dropped = static_cast<std::size_t>(incoming.mid(kept).toUcs4().size());
  if (dropped > 0 && onCut_) {
    onCut_(dropped);
  }
}

void MessageEdit::keyPressEvent(QKeyEvent* event) {
  if (event == QKeySequence::Paste && !isReadOnly()) {
    checkedInsert(QGuiApplication::clipboard()->text(), true, [this] { paste(); });
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void MessageEdit::contextMenuEvent(QContextMenuEvent* event) {
  const std::unique_ptr<QMenu> menu(createStandardContextMenu());
  if (QAction* pasteAction = menu->findChild<QAction*>(QStringLiteral("edit-paste"))) {
    // The menu's own Paste goes through the same check as the keyboard's.
    disconnect(pasteAction, &QAction::triggered, nullptr, nullptr);
    connect(pasteAction, &QAction::triggered, this, [this] {
      checkedInsert(QGuiApplication::clipboard()->text(), true, [this] { paste(); });
    });
  }
  QPointer<MessageEdit> self(this);
  menu->exec(event->globalPos());
  if (self) {
    event->accept();
  }
}

void MessageEdit::dropEvent(QDropEvent* event) {
  // A drop from elsewhere goes in at the drop point, leaving any selection; a move within the box
  // changes no length.
  const QString incoming = event->mimeData() != nullptr ? event->mimeData()->text() : QString();
  if (event->source() == this || incoming.isEmpty()) {
    QLineEdit::dropEvent(event);
    return;
  }
  checkedInsert(incoming, false, [this, event] { QLineEdit::dropEvent(event); });
}

void MessageEdit::mouseReleaseEvent(QMouseEvent* event) {
  // The middle button pastes the primary selection where the system has one.
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (event->button() == Qt::MiddleButton && clipboard->supportsSelection() && !isReadOnly()) {
    checkedInsert(clipboard->text(QClipboard::Selection), false,
                  [this, event] { QLineEdit::mouseReleaseEvent(event); });
    return;
  }
  QLineEdit::mouseReleaseEvent(event);
}

}  // namespace bitoner
