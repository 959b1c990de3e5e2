#pragma once
// The update history, read-only: one table row per version read, backup and update of the
// history file, newest first, with the columns' captions in the active language. The file is
// read each time the dialog is shown.
//
// Owner: the main window. Thread: the user-interface thread.

#include <QDialog>
#include <filesystem>

class QTableWidget;

namespace tavra::loader {

class THistoryForm : public QDialog {
  Q_OBJECT

 public:
  THistoryForm(QWidget* parent, std::filesystem::path file);
  [[nodiscard]] QTableWidget* Table() const { return m_table; }
  // Reads the file again into the table.
  void Reload();

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;  // LanguageChange: captions and cells again

 private:
  std::filesystem::path m_file;
  QTableWidget* m_table;
};

}  // namespace tavra::loader
