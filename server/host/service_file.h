#pragma once
// The D-Bus activation file of TavraLink:
// $XDG_DATA_HOME/dbus-1/services/dk.norvik.TavraLink.service (XDG_DATA_HOME defaults to
// ~/.local/share). With it the session bus starts tavralink when a client calls the well-known
// name. Written by "tavralink -RegServer", removed by
// "-UnregServer". Main thread; no locks.

#include <QtCore/QString>

namespace tavra::host {

// The folder and file for the current environment.
[[nodiscard]] QString ServiceFileDirectory();
[[nodiscard]] QString ServiceFilePath();

// The file's text for a program at `programPath` (absolute).
[[nodiscard]] QString ServiceFileText(const QString& programPath);

// Writes the file (creating the folders). 0 on success, else a non-zero process exit code; a
// message for the user goes to *error.
[[nodiscard]] int WriteServiceFile(const QString& programPath, QString* error);

// Removes the file. A file that is not there counts as removed (0).
[[nodiscard]] int RemoveServiceFile(QString* error);

}  // namespace tavra::host
