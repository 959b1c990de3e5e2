#pragma once
// The text of the about box: "Tavra Server version a.b.c.d" from the program's file version
// "1, 0, 12, 0", a blank line, and the description with the maker's closing line. Pure
// functions; any thread.

#include <QtCore/QString>
#include <array>
#include <optional>

namespace tavra::host {

// Splits "1, 0, 12, 0" at its first three commas into four integers. Nothing when the text
// has fewer than four parts or a part is not a number.
[[nodiscard]] std::optional<std::array<int, 4>> ParseFileVersion(const QString& text);

// "%s %d.%d.%d.%d\n\n%s" of the version label, the four numbers and the description. A version
// that cannot be read shows as 0.0.0.0.
[[nodiscard]] QString AboutBoxText(const QString& fileVersion);

}  // namespace tavra::host
