#pragma once
// What the tray icon does with the mouse and its menu, apart from the widgets themselves, so it
// is tested without a screen. Only the context request (right button) opens the menu; left
// clicks, double clicks and middle clicks do nothing. While a box or dialog is open the menu
// cannot be opened again.
//
// Main thread only; no locks.

#include <QtWidgets/QSystemTrayIcon>

namespace tavra::host {

// The menu's commands, with the ids the menu has always had.
enum class TrayCommand : int {
  None = 0,  // menu dismissed
  About = 32775,
  Status = 32779,
  ShutDown = 32777,
};

// The actions behind the commands (the real ones show widgets; tests record).
class TrayActions {
 public:
  TrayActions() = default;
  virtual ~TrayActions() = default;
  TrayActions(const TrayActions&) = delete;
  TrayActions& operator=(const TrayActions&) = delete;

  virtual void ShowAbout() = 0;
  virtual void ShowStatus() = 0;
  // The shutdown question; true for Yes.
  virtual bool ConfirmShutdown() = 0;
  virtual void ForcedShutdown() = 0;
};

class TrayMenuDispatcher {
 public:
  explicit TrayMenuDispatcher(TrayActions& actions) : m_actions(actions) {}

  // Whether an activation of the icon opens the menu.
  [[nodiscard]] bool OpensMenu(QSystemTrayIcon::ActivationReason reason) const;

  // Runs the command chosen in the menu. Returns false when nothing was done (dismissed, or a
  // box of an earlier command is still open).
  bool Dispatch(TrayCommand command);

  // true while a box or dialog of a command is open.
  [[nodiscard]] bool Busy() const { return m_busy; }

 private:
  TrayActions& m_actions;
  bool m_busy = false;
};

}  // namespace tavra::host
