#pragma once
// The port form `TComportForm`: a drop-down list of the COM ports that exist, "Ok" and
// "Fortryd". It keeps `CurrentPort`, the port the rest of the loader shows and supervises.
//
// "Ok" asks the owner to change the port (ChangeRequested); the owner runs ChangeComport and
// ConnectBootCodeMode on its worker and reports back with PortChangeDone, which makes the port
// current (also after a failure, so that the status bar shows the port that failed) and stores
// it in the settings after a success. An empty list leaves CurrentPort unchanged.
//
// Owner: the main window; created once, hidden between uses. Thread: user-interface.

#include <QDialog>
#include <functional>
#include <string_view>

#include "loader/window/port_list.h"

class QComboBox;

namespace tavra::loader {

class TComportForm : public QDialog {
  Q_OBJECT

 public:
  using LogLine = std::function<void(std::string_view)>;

  TComportForm(QWidget* parent, LogLine log);

  // Fills the list from `ports` and takes CurrentPort from the settings.
  void FormCreate(PortList ports = PortList::Probe());
  [[nodiscard]] int CurrentPort() const { return m_currentPort; }
  [[nodiscard]] const PortList& Ports() const { return m_ports; }
  [[nodiscard]] QComboBox* ComboBox1() const { return m_combo; }

  // The driver connection's answer to ChangeRequested(port).
  void PortChangeDone(int port, bool succeeded);

 public Q_SLOTS:
  void FormActivate();
  void ComportAcceptClick();
  void ComportCancelClick();

 Q_SIGNALS:
  void ChangeRequested(int port);

 protected:
  bool event(QEvent* event) override;
  void reject() override;  // Esc: as "Fortryd"
  void closeEvent(QCloseEvent* event) override;

 private:
  void SelectCurrent();

  LogLine m_log;
  QComboBox* m_combo;
  PortList m_ports;
  int m_currentPort = 0;
};

}  // namespace tavra::loader
