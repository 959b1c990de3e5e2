#pragma once
// The localization engine of the loader's windows: per window a caption table (component name
// -> caption, and the main window's hints), the locale table and the standard dialog captions,
// in the nine languages of the message table, of which the loader fills Danish (the default),
// English and German. The windows take their captions from here in the active language, except
// the two they are built with (the main window's "Tavra Firmware Loader 1.1" and the about box's
// "Tavra Firmware Loader 1.10"; their rows hold "1.0" and "1.00").
//
// Constant data and a lookup (TextTable): any thread, no lock. The active language is an atomic:
// set on the user-interface thread (start, settings menu), read from any thread.

#include <string_view>

#include "loader/link/message_texts.h"

namespace tavra::loader {

// The windows whose captions the engine holds.
enum class LoaderWindow { Main, Comport, OpenFile, BackupFile, About, History };

// The language every window and box uses; Danish until the settings or the menu choose another.
[[nodiscard]] Language ActiveLanguage();
void SetActiveLanguage(Language language);

[[nodiscard]] const TextTable& CaptionTable(LoaderWindow window);
// Hints (the main window's tool buttons); empty for the other windows.
[[nodiscard]] const TextTable& HintTable(LoaderWindow window);
// Locale values by name: "CurrencyString", "ThousandSeparator", "DecimalSeparator",
// "DateSeparator", "ShortDateFormat", "LongDateFormat", "TimeSeparator", "TimeAMString",
// "TimePMString", "ShortTimeFormat", "LongTimeFormat".
[[nodiscard]] const TextTable& LocaleTable();
// The platform's standard dialog and button captions ("OK", "Cancel", "&Open", "File &name:"
// ...); the Danish column holds the English texts unchanged.
[[nodiscard]] const TextTable& StandardDialogCaptions();

// Lookups in the active language.
[[nodiscard]] std::string_view Caption(LoaderWindow window, std::string_view component);
[[nodiscard]] std::string_view Hint(LoaderWindow window, std::string_view component);
[[nodiscard]] std::string_view LocaleValue(std::string_view name);
[[nodiscard]] std::string_view StandardCaption(std::string_view id);

}  // namespace tavra::loader
