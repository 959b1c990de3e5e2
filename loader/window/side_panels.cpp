#include "loader/window/side_panels.h"

#include <QEvent>
#include <QLabel>
#include <QShortcut>
#include <QVBoxLayout>

#include "loader/window/caption_tables.h"
#include "loader/window/loader_settings.h"
#include "loader/window/window_captions.h"

namespace tavra::loader {
namespace {

constexpr int kPanelWidth = 230;

// The panel's caption row, named after it so that ApplyCaptions finds it.
QLabel* Heading(const char* row, QWidget* parent) {
  auto* label = new QLabel(parent);
  label->setObjectName(QString::fromLatin1(row));
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  return label;
}

}  // namespace

void AddHelpKey(QWidget* window) {
  auto* key = new QShortcut(QKeySequence(Qt::Key_F1), window);
  key->setContext(Qt::WidgetWithChildrenShortcut);
  QObject::connect(key, &QShortcut::activated, window, [] { OpenHelpFile(); });
}

TOpenFileForm::TOpenFileForm(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("OpenFileForm"));
  setFixedWidth(kPanelWidth);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Heading("TOpenFileForm", this));
  auto* label = new QLabel(this);
  label->setObjectName(QStringLiteral("Label1"));
  layout->addWidget(label);
  m_memo = new QPlainTextEdit(this);
  m_memo->setObjectName(QStringLiteral("OpenFileMemo"));
  m_memo->setReadOnly(true);
  m_memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  layout->addWidget(m_memo, 1);
  ApplyCaptions(this, LoaderWindow::OpenFile);
  AddHelpKey(this);
}

void TOpenFileForm::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) {
    ApplyCaptions(this, LoaderWindow::OpenFile);
  }
  QWidget::changeEvent(event);
}

TBackupFileForm::TBackupFileForm(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("BackupFileForm"));
  setFixedWidth(kPanelWidth);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(Heading("TBackupFileForm", this));
  layout->addStretch(1);
  ApplyCaptions(this, LoaderWindow::BackupFile);
  AddHelpKey(this);
}

void TBackupFileForm::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) {
    ApplyCaptions(this, LoaderWindow::BackupFile);
  }
  QWidget::changeEvent(event);
}

}  // namespace tavra::loader
