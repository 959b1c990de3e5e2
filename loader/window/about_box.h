#pragma once
// The about box `TAboutBox`: the program icon, `ProductName` "Tavra Firmware Loader 1.10",
// `Version`, and the default button `OKButton`. Shown without being modal; F1 opens the help.
//
// Owner: the main window. Thread: user-interface.

#include <QDialog>

namespace tavra::loader {

inline constexpr char kAboutProductName[] = "Tavra Firmware Loader 1.10";
inline constexpr char kAboutVersion[] = "Version 1.1 for Linux";

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit TAboutBox(QWidget* parent = nullptr);

 protected:
  void changeEvent(QEvent* event) override;  // LanguageChange: captions again
};

// The program's icon, drawn (the loader ships no image files).
[[nodiscard]] QIcon ProgramIcon();

}  // namespace tavra::loader
