#include "loader/window/about_box.h"

#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "loader/window/caption_tables.h"
#include "loader/window/side_panels.h"
#include "loader/window/window_captions.h"

namespace tavra::loader {

QIcon ProgramIcon() {
  QPixmap picture(48, 48);
  picture.fill(Qt::transparent);
  QPainter painter(&picture);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0, 90, 170));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(QRectF(2, 2, 44, 44), 8, 8);
  painter.setPen(Qt::white);
  QFont font = painter.font();
  font.setBold(true);
  font.setPixelSize(30);
  painter.setFont(font);
  painter.drawText(picture.rect(), Qt::AlignCenter, QStringLiteral("T"));
  return {picture};
}

TAboutBox::TAboutBox(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutBox"));
  setWindowTitle(QString::fromUtf8(Caption(LoaderWindow::About, "TAboutBox")));
  auto* panel = new QFrame(this);
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFrameShadow(QFrame::Sunken);
  auto* icon = new QLabel(panel);
  icon->setPixmap(ProgramIcon().pixmap(48, 48));
  auto* product = new QLabel(QString::fromUtf8(kAboutProductName), panel);
  product->setObjectName(QStringLiteral("ProductName"));
  auto* version = new QLabel(QString::fromUtf8(kAboutVersion), panel);
  version->setObjectName(QStringLiteral("Version"));
  auto* texts = new QVBoxLayout;
  texts->addWidget(product);
  texts->addWidget(version);
  auto* row = new QHBoxLayout(panel);
  row->addWidget(icon);
  row->addLayout(texts, 1);

  auto* ok = new QPushButton(QString::fromUtf8(Caption(LoaderWindow::About, "OKButton")), this);
  ok->setObjectName(QStringLiteral("OKButton"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(panel);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
  layout->setSizeConstraint(QLayout::SetFixedSize);  // a fixed dialog border
  AddHelpKey(this);
}

void TAboutBox::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) {
    // ProductName keeps the name it is built with ("1.10"; its row holds "1.00").
    ApplyCaptions(this, LoaderWindow::About, "TAboutBox", {QStringLiteral("ProductName")});
  }
  QDialog::changeEvent(event);
}

}  // namespace tavra::loader
