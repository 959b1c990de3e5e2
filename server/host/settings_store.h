#pragma once
// Where TavraLink's thirteen settings are stored: an INI file read and written through
// QSettings(IniFormat, UserScope, "Norvik as", "Tavra Server"), the values as integers in
// [General]; so $XDG_CONFIG_HOME/Norvik as/Tavra Server.ini, with the system-wide file under the
// XDG config directories as QSettings' fallback for values the user's file lacks.
//
// Ownership: no state of its own; reads fill and the list reads the process-wide settings
// record (server/stack/server_settings.h). Threads: the main thread, at process start, before
// any other thread reads the record. No locks.

#include <QString>
#include <functional>

#include "server/stack/server_settings.h"

namespace tavra::host {

inline constexpr char kSettingsOrganization[] = "Norvik as";
inline constexpr char kSettingsApplication[] = "Tavra Server";

// Message box text and caption when the defaults cannot be written.
inline constexpr char kWriteDefaultsErrorText[] = "Error writing registry data";
inline constexpr char kWriteDefaultsErrorCaption[] = "Tavra Server";

// Shows a warning to the user. The default shows a message box without owner and with the
// warning icon when a QApplication runs, and writes the text to standard error otherwise.
using WarningBox = std::function<void(const QString& caption, const QString& text)>;
void ShowWarningBox(const QString& caption, const QString& text);

// Reads the stored values once into `record`: every setting starts from its default; a value
// that is missing, not a decimal integer, or beyond 32 bits keeps the default; ProcessPriority,
// ThreadPriority and PreferredBitRate are taken only when in their accepted set. Nothing is
// reported.
void ReadSettings(stack::SettingsRecord& record = stack::ServerSettings());

// Writes the thirteen defaults from the constant table (not the current values) and removes
// every other value, so the user's file holds exactly the thirteen. On failure `warn` gets
// "Error writing registry data" / "Tavra Server" and the result is false.
[[nodiscard]] bool WriteDefaults(const WarningBox& warn = ShowWarningBox);

// Writes the settings list ("Tavra Server settings:" and one line per setting) to standard
// error.
void ListSettings(const stack::SettingsRecord& record = stack::ServerSettings());

}  // namespace tavra::host
