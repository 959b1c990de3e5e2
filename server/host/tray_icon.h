#pragma once
// The notification-area icon of TavraLink: tooltip "Tavra Server", and on the right button a
// menu About / Status / Shut Down. About shows the version box, Status the status dialog from a
// snapshot of the port table, Shut Down asks first (No is the default) and then starts the
// forced shutdown. The icon is only added where the desktop has a tray; Qt puts it back by
// itself when the tray restarts.
//
// Owned by the server process on the main thread; everything here runs on the main thread.
// The forced shutdown is a function given by the owner (it takes no lock of the caller).

#include <QtCore/QObject>
#include <QtWidgets/QMenu>
#include <QtWidgets/QSystemTrayIcon>
#include <functional>
#include <memory>

#include "server/host/tray_menu.h"

namespace tavra::host {

// The real actions: modal boxes on the main thread.
class WidgetTrayActions : public TrayActions {
 public:
  explicit WidgetTrayActions(std::function<void()> forcedShutdown)
      : m_forcedShutdown(std::move(forcedShutdown)) {}
  void ShowAbout() override;
  void ShowStatus() override;
  bool ConfirmShutdown() override;
  void ForcedShutdown() override;

 private:
  std::function<void()> m_forcedShutdown;
};

// The server's icon (a drawn "T" on a blue disc).
[[nodiscard]] QIcon ServerIcon();

class TrayIcon : public QObject {
  Q_OBJECT
 public:
  explicit TrayIcon(std::function<void()> forcedShutdown, QObject* parent = nullptr);
  ~TrayIcon() override;

  // Shows the icon; Qt adds it to a tray that appears later. Returns whether a tray is there
  // now.
  bool Show();
  void Hide();
  [[nodiscard]] bool Visible() const;

 private:
  void OnActivated(QSystemTrayIcon::ActivationReason reason);

  WidgetTrayActions m_actions;
  TrayMenuDispatcher m_dispatcher{m_actions};
  QSystemTrayIcon m_icon;
  QMenu m_menu;
};

}  // namespace tavra::host
