#include "loader/window/comport_form.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "loader/window/caption_tables.h"
#include "loader/window/loader_settings.h"
#include "loader/window/side_panels.h"
#include "loader/window/window_captions.h"

namespace tavra::loader {
namespace {

QString Text(std::string_view component) {
  return QString::fromUtf8(Caption(LoaderWindow::Comport, component));
}

}  // namespace

TComportForm::TComportForm(QWidget* parent, LogLine log) : QDialog(parent), m_log(std::move(log)) {
  setObjectName(QStringLiteral("ComportForm"));
  setWindowTitle(Text("TComportForm"));
  resize(394, 237);
  auto* label = new QLabel(Text("Label1"), this);
  label->setObjectName(QStringLiteral("Label1"));
  m_combo = new QComboBox(this);  // pick only, no typing
  m_combo->setObjectName(QStringLiteral("ComboBox1"));
  auto* edit = new QLineEdit(this);  // kept hidden; it has no function
  edit->setObjectName(QStringLiteral("Edit1"));
  edit->hide();
  auto* accept = new QPushButton(Text("ComportAccept"), this);
  accept->setObjectName(QStringLiteral("ComportAccept"));
  accept->setDefault(true);
  auto* cancel = new QPushButton(Text("ComportCancel"), this);
  cancel->setObjectName(QStringLiteral("ComportCancel"));
  connect(accept, &QPushButton::clicked, this, &TComportForm::ComportAcceptClick);
  connect(cancel, &QPushButton::clicked, this, &TComportForm::ComportCancelClick);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(accept);
  buttons->addWidget(cancel);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 24, 24, 24);
  layout->addWidget(label);
  layout->addWidget(m_combo);
  layout->addStretch(1);
  layout->addLayout(buttons);
  ApplyCaptions(this, LoaderWindow::Comport, "TComportForm");
  AddHelpKey(this);
}

void TComportForm::FormCreate(PortList ports) {
  m_ports = std::move(ports);
  m_combo->clear();
  for (const ListedPort& port : m_ports.Ports()) {
    m_combo->addItem(QString::fromStdString(port.name + " - " + port.device), port.port);
  }
  m_currentPort = settings::ReadComport();
  SelectCurrent();
}

void TComportForm::SelectCurrent() {
  if (m_ports.Count() > 0) {
    m_combo->setCurrentIndex(m_ports.IndexOf(m_currentPort));
  }
}

void TComportForm::FormActivate() {
  if (const std::optional<int> port = m_ports.PortOf(m_combo->currentIndex())) {
    m_currentPort = *port;
  }
}

void TComportForm::ComportAcceptClick() {
  const std::optional<int> port = m_ports.PortOf(m_combo->currentIndex());
  if (port) {
    m_log("OK button in comport form");
    Q_EMIT ChangeRequested(*port);
  }
  close();
}

void TComportForm::PortChangeDone(int port, bool succeeded) {
  m_currentPort = port;
  SelectCurrent();
  if (succeeded) {
    settings::WriteComportIfPresent(port);
  }
}

void TComportForm::ComportCancelClick() {
  SelectCurrent();
  close();
}

bool TComportForm::event(QEvent* event) {
  if (event->type() == QEvent::WindowActivate) {
    FormActivate();
  } else if (event->type() == QEvent::LanguageChange) {
    ApplyCaptions(this, LoaderWindow::Comport, "TComportForm");
  }
  return QDialog::event(event);
}

void TComportForm::reject() {
  SelectCurrent();
  QDialog::reject();
}

void TComportForm::closeEvent(QCloseEvent* event) {
  SelectCurrent();
  QDialog::closeEvent(event);
}

}  // namespace tavra::loader
