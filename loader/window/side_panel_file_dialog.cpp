#include "loader/window/side_panel_file_dialog.h"

#include <QGridLayout>

#include "loader/window/caption_tables.h"

namespace tavra::loader {
namespace {

QString PatternsOf(const QString& pattern) {
  if (pattern == QStringLiteral("*.*")) {
    return QStringLiteral("*");
  }
  const QString lower = pattern.toLower();
  return lower == pattern ? pattern : pattern + QLatin1Char(' ') + lower;
}

QString Std(std::string_view id) {
  return QString::fromUtf8(StandardCaption(id));
}

}  // namespace

QStringList QtNameFilters(const QString& loaderFilter) {
  const QStringList parts = loaderFilter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    filters << parts[i] + QStringLiteral(" (") + PatternsOf(parts[i + 1]) + QLatin1Char(')');
  }
  return filters;
}

SidePanelFileDialog::SidePanelFileDialog(QWidget* parent, AcceptMode mode, QWidget* sidePanel)
    : QFileDialog(parent), m_sidePanel(sidePanel) {
  setOption(QFileDialog::DontUseNativeDialog);
  setAcceptMode(mode);
  setLabelText(QFileDialog::LookIn, Std(mode == AcceptOpen ? "Look &in:" : "Save &in:"));
  setLabelText(QFileDialog::FileName, Std("File &name:"));
  setLabelText(QFileDialog::FileType, Std("Files of &type:"));
  setLabelText(QFileDialog::Accept, Std(mode == AcceptOpen ? "&Open" : "&Save"));
  setLabelText(QFileDialog::Reject, Std("Cancel"));
  if (auto* grid = qobject_cast<QGridLayout*>(layout()); grid != nullptr && sidePanel != nullptr) {
    grid->addWidget(sidePanel, 0, grid->columnCount(), grid->rowCount(), 1);
  }
  connect(this, &QFileDialog::currentChanged, this, &SidePanelFileDialog::OnCurrentChanged);
  connect(this, &QFileDialog::fileSelected, this, [this](const QString& path) {
    if (m_onConfirm) {
      m_onConfirm(path);
    }
  });
}

void SidePanelFileDialog::setSelectedPath(const QString& path) {
  const QFileInfo info(path);
  if (info.isDir()) {
    setDirectory(path);
  } else {
    setDirectory(info.absolutePath());
    selectFile(info.fileName());
  }
  OnCurrentChanged(path);
}

void SidePanelFileDialog::OnCurrentChanged(const QString& path) {
  m_current = path;
  if (m_onSelection) {
    m_onSelection(path);
  }
}

}  // namespace tavra::loader
