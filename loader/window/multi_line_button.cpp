#include "loader/window/multi_line_button.h"

#include <QStyleOptionButton>
#include <QStylePainter>

namespace tavra::loader {

namespace {
constexpr int kTextMargin = 6;
}

MultiLineButton::MultiLineButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent) {}

void MultiLineButton::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  const QString caption = option.text;
  option.text.clear();  // the frame only; the caption is drawn wrapped below
  painter.drawControl(QStyle::CE_PushButton, option);
  const QRect area = rect().adjusted(kTextMargin, kTextMargin, -kTextMargin, -kTextMargin);
  painter.drawItemText(area, Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic, palette(),
                       isEnabled(), caption, QPalette::ButtonText);
}

}  // namespace tavra::loader
