#pragma once
// The side panels of the two file dialogs: `OpenFileForm` (a label and the read-only memo
// `OpenFileMemo` with the product information of the file selected in the open dialog) and
// `BackupFileForm` (the save dialog's, with its caption only). F1 opens the help file.
//
// Owner: the main window (each panel then belongs to its dialog). Thread: user-interface.

#include <QPlainTextEdit>
#include <QWidget>

namespace tavra::loader {

class TOpenFileForm : public QWidget {
  Q_OBJECT

 public:
  explicit TOpenFileForm(QWidget* parent = nullptr);
  [[nodiscard]] QPlainTextEdit* OpenFileMemo() const { return m_memo; }

 protected:
  void changeEvent(QEvent* event) override;  // LanguageChange: captions again

 private:
  QPlainTextEdit* m_memo;
};

class TBackupFileForm : public QWidget {
  Q_OBJECT

 public:
  explicit TBackupFileForm(QWidget* parent = nullptr);

 protected:
  void changeEvent(QEvent* event) override;  // LanguageChange: caption again
};

// A window-wide F1 that opens the help file, for every window of the loader.
void AddHelpKey(QWidget* window);

}  // namespace tavra::loader
