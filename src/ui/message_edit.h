// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLineEdit>
#include <cstddef>
#include <functional>

namespace bitoner {

// The message box: a line edit that, when text pasted or dropped into it does not fit its maximum
// length, keeps what fits (as the line edit does) and says how many characters were dropped.
// Deliberately without Q_OBJECT: to the rest of the program it is a plain QLineEdit.
class MessageEdit : public QLineEdit {
 public:
  // Called after an insertion was cut, with the number of characters (code points) dropped.
  using CutNotice = std::function<void(std::size_t dropped)>;

  MessageEdit(QWidget* parent, CutNotice onCut);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // Runs `insertion`, which inserts `incoming` in place of the selection when `replacesSelection`,
  // and reports what of `incoming` the maximum length made it drop.
  void checkedInsert(const QString& incoming, bool replacesSelection,
                     const std::function<void()>& insertion);

  CutNotice onCut_;
};

}  // namespace bitoner
