// The message table: Danish texts byte for byte (UTF-8, blanks included), every id present with
// English and German, case-insensitive lookup without fallback, and the status bar text.

#include "loader/link/message_texts.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace tavra::loader {
namespace {

TEST(MessageTexts, DanishTextsByteForByte) {
  struct Case {
    const char* id;
    std::string_view text;
  };
  for (const Case& c : {
           Case{"IDS_MB_ERR_CAPTION", "FejlBesked"},
           Case{"IDS_MB_SUC_CAPTION", "Succes Besked"},
           Case{"IDS_MB_1_TEXT", "\xC3\x86ndring af Comport nr fejlet !"},
           Case{"IDS_MB_11_TEXT", "Backup header temp  fil kan ikke oprettes !"},
           Case{"IDS_MB_16_TEXT", "Driver fejlet, Management_request connect to boot code !"},
           Case{"IDS_MB_21_TEXT",
                "Comport kunne ikke \xC3\xA5"
                "bnes !"},
           Case{"IDS_MB_26_TEXT", "Backup af  Firmware afsluttet med succes"},
           Case{"IDS_MB_27_TEXT", "Intet SerieNummer i  Tavra Controlleren !"},
           Case{"IDS_MB_28_TEXT",
                "L\xC3\xA6sning af SerieNummer fejlet, ukendt kommando modtaget !"},
           Case{"IDS_MB_29_TEXT",
                "Det er ikke tilladt at downloade valgte Tavra Firmware fil til Tavra Controlleren "
                "!"},
           Case{"IDS_SB_1_TEXT", "Ingen forbindelse til Tavra p\xC3\xA5 COMPORT "},
           Case{"IDS_SB_2_TEXT", "Forbindelse til Tavra p\xC3\xA5 COMPORT "},
       }) {
    EXPECT_EQ(LookupMessage(c.id), c.text) << c.id;
  }
}

TEST(MessageTexts, EveryIdOnceInDanishEnglishAndGermanOnly) {
  std::set<std::string> expected = {"IDS_MB_ERR_CAPTION", "IDS_MB_SUC_CAPTION", "IDS_SB_1_TEXT",
                                    "IDS_SB_2_TEXT"};
  for (int i = 1; i <= 29; ++i) {
    expected.insert("IDS_MB_" + std::to_string(i) + "_TEXT");
  }
  std::set<std::string> ids;
  for (const TextRow& row : MessageTable().Rows()) {
    EXPECT_TRUE(ids.insert(std::string(row.id)).second) << "twice: " << row.id;
    for (const Language language : kOfferedLanguages) {
      const std::string_view text = row.texts[static_cast<std::size_t>(language)];
      EXPECT_FALSE(text.empty()) << row.id << " " << LanguageName(language);
      // The status bar puts the port number right behind the text.
      EXPECT_EQ(row.id.starts_with("IDS_SB_"), text.ends_with(' ')) << row.id;
    }
    for (std::size_t column = kOfferedLanguages.size(); column < kLanguageCount; ++column) {
      EXPECT_EQ(row.texts[column], "") << row.id << " column " << column;
    }
  }
  EXPECT_EQ(ids, expected);
}

TEST(MessageTexts, LookupIgnoresCaseAndNeverFallsBack) {
  struct Case {
    const char* id;
    Language language;
    std::string_view text;
  };
  for (const Case& c : {
           Case{"ids_mb_2_text", Language::Danish, "Forkert checksum i fil !"},
           Case{"Ids_Mb_2_Text", Language::Danish, "Forkert checksum i fil !"},
           Case{"IDS_MB_30_TEXT", Language::Danish, ""},
           Case{"IDS_MB_2_TEXT ", Language::Danish, ""},
           Case{"", Language::Danish, ""},
           Case{"IDS_MB_ERR_CAPTION", Language::English, "Error message"},
           Case{"ids_mb_2_text", Language::German,
                "Falsche Pr\xC3\xBC"
                "fsumme in der Datei!"},
           Case{"IDS_MB_2_TEXT", Language::French, ""},
           Case{"IDS_MB_2_TEXT", static_cast<Language>(9), ""},
       }) {
    EXPECT_EQ(LookupMessage(c.id, c.language), c.text)
        << c.id << " in " << static_cast<int>(c.language);
  }
  EXPECT_EQ(LanguageName(Language::Dutch), "DUTCH");
}

TEST(MessageTexts, OfferedLanguagesByNameInAnyCase) {
  EXPECT_EQ(OfferedLanguage("english"), Language::English);
  EXPECT_EQ(OfferedLanguage("German"), Language::German);
  EXPECT_EQ(OfferedLanguage("DANISH"), Language::Danish);
  EXPECT_EQ(OfferedLanguage("FRENCH"), std::nullopt);  // its column is empty
  EXPECT_EQ(OfferedLanguage("ENGLISH "), std::nullopt);
}

TEST(MessageTexts, StatusBarTextEndsWithThePort) {
  EXPECT_EQ(StatusBarText(true, 12), "Forbindelse til Tavra p\xC3\xA5 COMPORT 12");
  EXPECT_EQ(StatusBarText(false, 12), "Ingen forbindelse til Tavra p\xC3\xA5 COMPORT 12");
  EXPECT_EQ(StatusBarText(true, 3, Language::English), "Connected to Tavra on COM port 3");
}

}  // namespace
}  // namespace tavra::loader
