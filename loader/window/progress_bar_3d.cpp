#include "loader/window/progress_bar_3d.h"

#include <QLinearGradient>
#include <QPainter>
#include <algorithm>

namespace tavra::loader {
namespace {

constexpr int kBevel = 2;
const QColor kBarColour(140, 190, 240);  // light, so the blue percentage stays readable

}  // namespace

ProgressBar3D::ProgressBar3D(QWidget* parent) : QWidget(parent) {
  QFont bold = font();
  bold.setBold(true);
  setFont(bold);
  QPalette blue = palette();
  blue.setColor(QPalette::WindowText, Qt::blue);
  setPalette(blue);
}

int ProgressBar3D::percent() const {
  if (m_maximum <= 0) {
    return 0;
  }
  const long long clamped = std::clamp(m_position, 0, m_maximum);
  return static_cast<int>(clamped * 100 / m_maximum);
}

void ProgressBar3D::setMaximum(int maximum) {
  m_maximum = std::max(0, maximum);
  update();
}

void ProgressBar3D::setPosition(int position) {
  m_position = position;
  update();
}

void ProgressBar3D::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect well = rect();
  painter.fillRect(well, palette().color(QPalette::Base));
  // Sunken edge: dark top-left, light bottom-right.
  painter.setPen(palette().color(QPalette::Dark));
  painter.drawLine(well.topLeft(), well.topRight());
  painter.drawLine(well.topLeft(), well.bottomLeft());
  painter.setPen(palette().color(QPalette::Light));
  painter.drawLine(well.bottomLeft(), well.bottomRight());
  painter.drawLine(well.topRight(), well.bottomRight());

  const QRect inner = well.adjusted(kBevel, kBevel, -kBevel, -kBevel);
  const int filled = inner.width() * percent() / 100;
  if (filled > 0) {
    const QRect bar(inner.left(), inner.top(), filled, inner.height());
    QLinearGradient shade(bar.topLeft(), bar.bottomLeft());
    shade.setColorAt(0.0, kBarColour.lighter(160));
    shade.setColorAt(0.45, kBarColour);
    shade.setColorAt(1.0, kBarColour.darker(160));
    painter.fillRect(bar, shade);
  }
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawText(inner, Qt::AlignCenter, QStringLiteral("%1 %").arg(percent()));
}

}  // namespace tavra::loader
