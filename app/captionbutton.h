#pragma once

#include <QPushButton>

// A command button whose caption wraps onto further lines when it is wider than the button, so
// the window's fixed button sizes show captions such as "Assign Snapshot-type" whole.
class CaptionButton final : public QPushButton {
 public:
  CaptionButton(const QString& caption, QWidget* parent);

 protected:
  void paintEvent(QPaintEvent* event) override;
};
