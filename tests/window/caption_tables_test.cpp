// The caption, hint, locale and standard dialog tables: every row that has a Danish text has its
// English and German ones, with the same mnemonics, and the languages the loader does not offer
// stay empty.

#include "loader/window/caption_tables.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace tavra::loader {
namespace {

TEST(CaptionTables, OfferedLanguagesFilledWithTheirMnemonics) {
  std::vector<const TextTable*> tables = {&HintTable(LoaderWindow::Main), &LocaleTable(),
                                          &StandardDialogCaptions()};
  for (const LoaderWindow window :
       {LoaderWindow::Main, LoaderWindow::Comport, LoaderWindow::OpenFile, LoaderWindow::BackupFile,
        LoaderWindow::About, LoaderWindow::History}) {
    tables.push_back(&CaptionTable(window));
  }
  for (const TextTable* table : tables) {
    ASSERT_FALSE(table->Rows().empty());
    for (const TextRow& row : table->Rows()) {
      const std::string_view danish = row.texts[0];
      for (const Language language : kOfferedLanguages) {
        const std::string_view text = row.texts[static_cast<std::size_t>(language)];
        EXPECT_EQ(text.empty(), danish.empty()) << row.id << " " << LanguageName(language);
        EXPECT_EQ(std::count(text.begin(), text.end(), '&'),
                  std::count(danish.begin(), danish.end(), '&'))
            << row.id << " " << LanguageName(language);
      }
      for (std::size_t column = kOfferedLanguages.size(); column < kLanguageCount; ++column) {
        EXPECT_EQ(row.texts[column], "") << row.id << " column " << column;
      }
    }
  }
}

TEST(CaptionTables, DanishStaysTheDefaultAndTheStandardCaptionsStayEnglishInIt) {
  ASSERT_EQ(ActiveLanguage(), Language::Danish);
  EXPECT_EQ(Caption(LoaderWindow::Main, "vlgcomport1"), "&V\xC3\xA6lg Comport");
  EXPECT_EQ(Hint(LoaderWindow::Main, "ToolButton3"), "Luk");
  EXPECT_EQ(StandardCaption("Files of &type:"), "Files of &type:");
  EXPECT_EQ(StandardDialogCaptions().Lookup("Cancel", Language::German), "Abbrechen");
}

}  // namespace
}  // namespace tavra::loader
