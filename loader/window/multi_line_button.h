#pragma once
// A push button whose caption wraps onto several lines, centred, within the button's width
// (QPushButton keeps its text on one line). '&' marks the mnemonic as on any button.
//
// Owner: its parent widget. Thread: the user-interface thread.

#include <QPushButton>

namespace tavra::loader {

class MultiLineButton : public QPushButton {
  Q_OBJECT

 public:
  explicit MultiLineButton(const QString& caption, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace tavra::loader
