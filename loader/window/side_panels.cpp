#include "loader/window/side_panels.h"

#include <QLabel>
#include <QShortcut>
#include <QVBoxLayout>

#include "loader/window/caption_tables.h"
#include "loader/window/loader_settings.h"

namespace tavra::loader {
namespace {

constexpr int kPanelWidth = 230;

QLabel* Heading(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont bold = label->font();
  bold.setBold(true);
  label->setFont(bold);
  return label;
}

QString OpenCaption(std::string_view component) {
  return QString::fromUtf8(Caption(LoaderWindow::OpenFile, component));
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
  layout->addWidget(Heading(OpenCaption("TOpenFileForm"), this));
  auto* label = new QLabel(OpenCaption("Label1"), this);
  label->setObjectName(QStringLiteral("Label1"));
  layout->addWidget(label);
  m_memo = new QPlainTextEdit(this);
  m_memo->setObjectName(QStringLiteral("OpenFileMemo"));
  m_memo->setReadOnly(true);
  m_memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  layout->addWidget(m_memo, 1);
  AddHelpKey(this);
}

TBackupFileForm::TBackupFileForm(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("BackupFileForm"));
  setFixedWidth(kPanelWidth);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(
      Heading(QString::fromUtf8(Caption(LoaderWindow::BackupFile, "TBackupFileForm")), this));
  layout->addStretch(1);
  AddHelpKey(this);
}

}  // namespace tavra::loader
