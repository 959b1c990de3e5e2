#include "server/host/tray_icon.h"

#include <QtGui/QCursor>
#include <QtGui/QPainter>
#include <QtGui/QPixmap>
#include <QtWidgets/QMessageBox>

#include "server/host/about_text.h"
#include "server/host/host_texts.h"
#include "server/host/status_dialog.h"
#include "server/stack/port_table.h"

namespace tavra::host {

void WidgetTrayActions::ShowAbout() {
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(texts::kAboutCaption),
                  AboutBoxText(QString::fromUtf8(texts::kFileVersion)), QMessageBox::Ok);
  box.exec();
}

void WidgetTrayActions::ShowStatus() {
  StatusDialog dialog(FillStatusCells(stack::GlobalPortTable().Snapshot()));
  dialog.exec();
}

bool WidgetTrayActions::ConfirmShutdown() {
  QMessageBox box(QMessageBox::Warning, QString::fromUtf8(texts::kShutdownCaption),
                  QString::fromUtf8(texts::kShutdownQuestion), QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void WidgetTrayActions::ForcedShutdown() {
  if (m_forcedShutdown) {
    m_forcedShutdown();
  }
}

QIcon ServerIcon() {
  QIcon icon;
  for (const int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(0x1f, 0x5f, 0xa8));
    painter.setPen(Qt::NoPen);
    painter.drawEllipse(QRectF(0.5, 0.5, size - 1.0, size - 1.0));
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(size * 2 / 3);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(0, 0, size, size), Qt::AlignCenter, QStringLiteral("T"));
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

TrayIcon::TrayIcon(std::function<void()> forcedShutdown, QObject* parent)
    : QObject(parent), m_actions(std::move(forcedShutdown)) {
  m_icon.setIcon(ServerIcon());
  m_icon.setToolTip(QString::fromUtf8(texts::kTooltip));
  const auto add = [this](const char* text, TrayCommand command) {
    QAction* action = m_menu.addAction(QString::fromUtf8(text));
    // Queued, so that the menu has closed before a modal box opens.
    connect(
        action, &QAction::triggered, this, [this, command] { m_dispatcher.Dispatch(command); },
        Qt::QueuedConnection);
  };
  add(texts::kMenuAbout, TrayCommand::About);
  m_menu.addSeparator();
  add(texts::kMenuStatus, TrayCommand::Status);
  m_menu.addSeparator();
  add(texts::kMenuShutDown, TrayCommand::ShutDown);
  // No setContextMenu: the menu opens only on the context request, never on a left click.
  connect(&m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::OnActivated);
}

TrayIcon::~TrayIcon() {
  m_icon.hide();
}

bool TrayIcon::Show() {
  // Shown also when no tray is there yet: Qt adds the icon as soon as a tray appears (it
  // watches the tray's selection on X11 and the status notifier watcher on the bus).
  m_icon.show();
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::Hide() {
  m_icon.hide();
}

bool TrayIcon::Visible() const {
  return m_icon.isVisible();
}

void TrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  if (m_dispatcher.OpensMenu(reason)) {
    m_menu.popup(QCursor::pos());
  }
}

}  // namespace tavra::host
