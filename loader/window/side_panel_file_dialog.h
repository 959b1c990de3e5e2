#pragma once
// The open and save dialogs of the loader: Qt's own (not the desktop's) file dialog with a side
// panel form at its right, a callback on every change of the selection (also when the program
// selects a file, which QFileDialog does not report), a callback when the user confirms a file
// (the dialog closes after it in every case), a start folder and a selected path, and the
// loader's filter text "Desc|*.EXT|Desc|*.*" turned into Qt's "Desc (*.EXT)" list. Title and
// labels are the standard dialog captions in the active language.
//
// Owner: the main window. Thread: the user-interface thread.

#include <QFileDialog>
#include <functional>

namespace tavra::loader {

// "Tavra Firmware Hex (*:TVW)|*.TVW|Alle Filer (*.*)|*.*" -> the descriptions as they are, each
// followed by its patterns in parentheses (Qt reads the last parenthesised list). Patterns of
// letters also match their lower-case form, since Linux file names keep their case; "*.*"
// becomes "*" (every file, also those without a dot).
[[nodiscard]] QStringList QtNameFilters(const QString& loaderFilter);

class SidePanelFileDialog : public QFileDialog {
  Q_OBJECT

 public:
  using PathHandler = std::function<void(const QString& path)>;

  SidePanelFileDialog(QWidget* parent, AcceptMode mode, QWidget* sidePanel);

  void setSelectionHandler(PathHandler handler) { m_onSelection = std::move(handler); }
  void setConfirmHandler(PathHandler handler) { m_onConfirm = std::move(handler); }
  // Start folder and selected path in one, as the loader's dialogs take them; calls the
  // selection handler, since QFileDialog::selectFile() does not.
  void setSelectedPath(const QString& path);
  // The file currently selected in the list (or typed), for the selection handler.
  [[nodiscard]] QString currentPath() const { return m_current; }
  [[nodiscard]] QWidget* sidePanel() const { return m_sidePanel; }

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;  // LanguageChange: title and labels again

 private:
  void ApplyLabels();
  void OnCurrentChanged(const QString& path);

  QWidget* m_sidePanel;
  QString m_current;
  PathHandler m_onSelection;
  PathHandler m_onConfirm;
};

}  // namespace tavra::loader
