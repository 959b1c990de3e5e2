#include "server/host/tray_menu.h"

namespace tavra::host {

bool TrayMenuDispatcher::OpensMenu(QSystemTrayIcon::ActivationReason reason) const {
  return reason == QSystemTrayIcon::Context && !m_busy;
}

bool TrayMenuDispatcher::Dispatch(TrayCommand command) {
  if (m_busy) {
    return false;
  }
  // The boxes are modal: a nested event loop runs while they are open.
  m_busy = true;
  bool done = true;
  switch (command) {
    case TrayCommand::About: m_actions.ShowAbout(); break;
    case TrayCommand::Status: m_actions.ShowStatus(); break;
    case TrayCommand::ShutDown:
      if (m_actions.ConfirmShutdown()) {
        m_actions.ForcedShutdown();
      }
      break;
    case TrayCommand::None: done = false; break;
  }
  m_busy = false;
  return done;
}

}  // namespace tavra::host
