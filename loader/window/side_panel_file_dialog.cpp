#include "loader/window/side_panel_file_dialog.h"

#include <QEvent>
#include <QGridLayout>
#include <QHeaderView>
#include <QTreeView>

#include "loader/window/caption_tables.h"

namespace tavra::loader {
namespace {

constexpr int kDialogWidth = 1000;  // room for the list's columns beside the side panel
constexpr int kDialogHeight = 480;
constexpr int kPlacesWidth = 120;

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

// For the labels QFileDialog shows without a mnemonic.
QString Plain(std::string_view id) {
  return Std(id).remove(QLatin1Char('&'));
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
  ApplyLabels();
  if (auto* grid = qobject_cast<QGridLayout*>(layout()); grid != nullptr && sidePanel != nullptr) {
    grid->addWidget(sidePanel, 0, grid->columnCount(), grid->rowCount(), 1);
  }
  resize(kDialogWidth, kDialogHeight);
  connect(this, &QFileDialog::currentChanged, this, &SidePanelFileDialog::OnCurrentChanged);
  connect(this, &QFileDialog::fileSelected, this, [this](const QString& path) {
    if (m_onConfirm) {
      m_onConfirm(path);
    }
  });
}

void SidePanelFileDialog::ApplyLabels() {
  const bool open = acceptMode() == AcceptOpen;
  setWindowTitle(Std(open ? "Open" : "Save As"));
  setLabelText(QFileDialog::LookIn, Plain(open ? "Look &in:" : "Save &in:"));
  setLabelText(QFileDialog::FileName, Std("File &name:"));
  setLabelText(QFileDialog::FileType, Plain("Files of &type:"));
  setLabelText(QFileDialog::Accept, Std(open ? "&Open" : "&Save"));
  setLabelText(QFileDialog::Reject, Std("Cancel"));
}

void SidePanelFileDialog::changeEvent(QEvent* event) {
  QFileDialog::changeEvent(event);
  if (event->type() == QEvent::LanguageChange) {
    ApplyLabels();
  }
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

void SidePanelFileDialog::showEvent(QShowEvent* event) {
  // The name column takes the room the side panel leaves; the others fit their contents.
  if (auto* list = findChild<QTreeView*>(); list != nullptr) {
    list->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    list->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  }
  if (auto* places = findChild<QWidget*>(QStringLiteral("sidebar")); places != nullptr) {
    places->setMinimumWidth(kPlacesWidth);  // "Computer" and the home folder in full
  }
  QFileDialog::showEvent(event);
}

void SidePanelFileDialog::OnCurrentChanged(const QString& path) {
  m_current = path;
  if (m_onSelection) {
    m_onSelection(path);
  }
}

}  // namespace tavra::loader
