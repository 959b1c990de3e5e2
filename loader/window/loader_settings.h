#pragma once
// The loader's three settings in its INI file: QSettings(IniFormat, UserScope,
// "Norvik TavraFirmware", "Settings"), so $XDG_CONFIG_HOME/Norvik TavraFirmware/Settings.ini.
// `HelpFile` (the program's folder with a trailing '/') and `FirmwareFiles` (the program's
// folder + "Firmware Files") are rewritten at every start; `Comport` (1..8) is created with 1
// when `HelpFile` was missing, and rewritten after a successful port change only while
// `HelpFile` exists; `Language` (a language name, "ENGLISH") is written when the user picks one
// in the settings menu. Failures of the file are never reported.
//
// No state of its own; the window's thread. No lock.

#include <QString>

#include "loader/link/message_texts.h"

namespace tavra::loader {

inline constexpr char kLoaderSettingsOrganization[] = "Norvik TavraFirmware";
inline constexpr char kLoaderSettingsApplication[] = "Settings";
inline constexpr char kHelpFileName[] = "tavrafirmwareloader.chm";
// The port used when `Comport` is missing or not an integer.
inline constexpr int kFallbackComport = 1;

namespace settings {

// The start: rewrites HelpFile and FirmwareFiles from `programDir`, creates Comport = 1 on a
// first start, and returns Comport (kFallbackComport when it cannot be read).
int RefreshAtStart(const QString& programDir);
[[nodiscard]] bool HasHelpFile();
// Comport when HelpFile exists, else kFallbackComport (the port form's CurrentPort at start).
[[nodiscard]] int ReadComport();
// Writes Comport only when HelpFile exists.
void WriteComportIfPresent(int port);
[[nodiscard]] QString FirmwareFiles();
// HelpFile + "tavrafirmwareloader.chm" (only the file name when HelpFile is missing).
[[nodiscard]] QString HelpFilePath();
// What F1 opens: HelpFilePath() when such a file exists (a help file of the user's own),
// else the manual installed beside the program (../share/doc/tavra/manual/index.html), else
// the manual of the source tree the program was built from.
[[nodiscard]] QString HelpTarget(const QString& programDir);
// The remembered language; Danish when none is, or an unknown name.
[[nodiscard]] Language ReadLanguage();
void WriteLanguage(Language language);

}  // namespace settings

// Asks the desktop to open HelpTarget(); a failure is not reported.
void OpenHelpFile();

}  // namespace tavra::loader
