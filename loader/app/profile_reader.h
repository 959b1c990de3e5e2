#pragma once
// The private-profile (INI) reader through which the header values of a firmware file are read.
//
// A section begins at a line "[name]"; a value line is "key=value". Section and key names are
// compared without regard to case (ASCII letters). The first matching key of the first matching
// section counts: a key that only a later section of the same name holds is not found. Blanks
// (space, tab, CR, VT, FF) around names and values are removed, and a value enclosed in a
// matching pair of double or single quotes loses them. Every other line, record lines included,
// is ignored; so are lines before the first section and lines longer than kProfileLineChars.
// A lookup reads only as far as it must: it stops at the key, or where the first matching
// section ends.
//
// Free functions; each call reads its source anew. Any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "loader/app/line_reader.h"

namespace tavra::loader {

inline constexpr std::size_t kProfileLineChars = 64 * 1024;

// The value of section/key, or nothing when the source, the section or the key is missing.
[[nodiscard]] std::optional<std::string> FindProfileValue(const LineSource& source,
                                                          std::string_view section,
                                                          std::string_view key);

[[nodiscard]] std::string GetProfileString(const LineSource& source,
                                           std::string_view section,
                                           std::string_view key,
                                           std::string_view defaultValue);

// The value as a signed 32-bit integer, or `defaultValue` when the key is missing or its text
// does not convert (see ParseProfileInt).
[[nodiscard]] std::int32_t GetProfileInt(const LineSource& source,
                                         std::string_view section,
                                         std::string_view key,
                                         std::int32_t defaultValue);

// Converts a value text: an optional sign, then decimal digits (the value must lie within the
// signed 32-bit range) or hexadecimal digits after '$', "0x" or "0X" (at most 32 bits, taken
// as a signed 32-bit number, so $FFFFFFFF is -1). Nothing else may stand in the text.
[[nodiscard]] std::optional<std::int32_t> ParseProfileInt(std::string_view text);

}  // namespace tavra::loader
