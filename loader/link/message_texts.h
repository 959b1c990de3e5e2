#pragma once
// The loader's user texts, looked up by id: the message table of the main window (message boxes
// and status bar), in nine languages of which the loader fills the Danish (its default), English
// and German columns. The table form (TextTable) also serves the caption and hint tables of the
// windows.
//
// Lookup: the first row whose id equals the id asked for, without regard to case, gives the
// text of the language's column. No row, or an empty column, gives the empty text; there is no
// fallback to another language.
//
// The tables are constant data: any thread may look up texts at any time, no lock.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tavra::loader {

// In column order.
enum class Language {
  Danish,
  English,
  German,
  French,
  Finnish,
  Spanish,
  Swedish,
  Norwegian,
  Dutch
};
inline constexpr std::size_t kLanguageCount = 9;
inline constexpr std::array<std::string_view, kLanguageCount> kLanguageNames = {
    "DANISH", "ENGLISH", "GERMAN", "FRENCH", "FINNISH", "SPANISH", "SWEDISH", "NORWEGIAN", "DUTCH"};

[[nodiscard]] std::string_view LanguageName(Language language);

// The languages whose columns hold every text, in the order the loader offers them.
inline constexpr std::array<Language, 3> kOfferedLanguages = {Language::Danish, Language::English,
                                                              Language::German};
// An offered language by its name ("ENGLISH"), without regard to case; nullopt for any other.
[[nodiscard]] std::optional<Language> OfferedLanguage(std::string_view name);

// One text id with its text per language (empty where a language has none).
struct TextRow {
  std::string_view id;
  std::array<std::string_view, kLanguageCount> texts;
};

class TextTable {
 public:
  constexpr explicit TextTable(std::span<const TextRow> rows) : m_rows(rows) {}
  [[nodiscard]] std::string_view Lookup(std::string_view id, Language language) const;
  [[nodiscard]] std::span<const TextRow> Rows() const { return m_rows; }

 private:
  std::span<const TextRow> m_rows;
};

// The main window's message table (every IDS_MB_ and IDS_SB_ text).
[[nodiscard]] const TextTable& MessageTable();
[[nodiscard]] std::string_view LookupMessage(std::string_view id,
                                             Language language = Language::Danish);

inline constexpr std::string_view kStatusNotConnected = "IDS_SB_1_TEXT";
inline constexpr std::string_view kStatusConnected = "IDS_SB_2_TEXT";

// The status bar text: the connected or not-connected text, then the port number.
[[nodiscard]] std::string StatusBarText(bool connected,
                                        int port,
                                        Language language = Language::Danish);

}  // namespace tavra::loader
