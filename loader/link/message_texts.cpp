#include "loader/link/message_texts.h"

namespace tavra::loader {
namespace {

constexpr TextRow Row(std::string_view id, std::string_view danish, std::string_view english = {}) {
  return TextRow{id, {danish, english}};
}

constexpr bool SameIdIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  const auto upper = [](char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  };
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) {
      return false;
    }
  }
  return true;
}

// The blanks belong to the texts: the double blanks in IDS_MB_11, 26 and 27, the blank before
// each '!' and the final blank of the status bar texts (the port number follows it).
constexpr TextRow kMessageRows[] = {
    Row("IDS_MB_ERR_CAPTION", "FejlBesked", "-"),
    Row("IDS_MB_SUC_CAPTION", "Succes Besked"),
    Row("IDS_MB_1_TEXT", "Ændring af Comport nr fejlet !"),
    Row("IDS_MB_2_TEXT", "Forkert checksum i fil !"),
    Row("IDS_MB_3_TEXT", "Ingen fil valgt til download (Opdatering) af Tavra Controller"),
    Row("IDS_MB_4_TEXT", "Opdater Firmware fejlet !"),
    Row("IDS_MB_5_TEXT", "Opdater Firmware afsluttet med succes"),
    Row("IDS_MB_6_TEXT", "Firmware header Backup fejlet !"),
    Row("IDS_MB_7_TEXT", "Firmware Backup fejlet !"),
    Row("IDS_MB_8_TEXT", "Firmware Backup checksum fejl !"),
    Row("IDS_MB_9_TEXT", "Firmware header Backup checksum fejl !"),
    Row("IDS_MB_10_TEXT", "Backupfil kan ikke oprettes !"),
    Row("IDS_MB_11_TEXT", "Backup header temp  fil kan ikke oprettes !"),
    Row("IDS_MB_12_TEXT", "Backup af header fejlet, ukendt kommando modtaget !"),
    Row("IDS_MB_13_TEXT", "Opdatering af header fejlet, ukendt kommando modtaget !"),
    Row("IDS_MB_14_TEXT", "Backup fejlet, ukendt kommando modtaget !"),
    Row("IDS_MB_15_TEXT", "Opdatering fejlet, ukendt kommando modtaget !"),
    Row("IDS_MB_16_TEXT", "Driver fejlet, Management_request connect to boot code !"),
    Row("IDS_MB_17_TEXT", "Tavra Controller kan ikke opdateres via Firmware Loader !"),
    Row("IDS_MB_18_TEXT", "Forbindelse til driver kan ikke oprettes !"),
    Row("IDS_MB_19_TEXT", "Driver returnerer ukendt fejl !"),
    Row("IDS_MB_20_TEXT", "Driver Initialiserings fejl !"),
    Row("IDS_MB_21_TEXT", "Comport kunne ikke åbnes !"),
    Row("IDS_MB_22_TEXT", "Comport nr eksisterer ikke !"),
    Row("IDS_MB_23_TEXT", "Comport nr er ibrug af andet program !"),
    Row("IDS_MB_24_TEXT", "Driveren mangler resourcer !"),
    Row("IDS_MB_25_TEXT", "Ingen Firmware i Tavra Controlleren !"),
    Row("IDS_MB_26_TEXT", "Backup af  Firmware afsluttet med succes"),
    Row("IDS_MB_27_TEXT", "Intet SerieNummer i  Tavra Controlleren !"),
    Row("IDS_MB_28_TEXT", "Læsning af SerieNummer fejlet, ukendt kommando modtaget !"),
    Row("IDS_MB_29_TEXT",
        "Det er ikke tilladt at downloade valgte Tavra Firmware fil til Tavra Controlleren !"),
    Row("IDS_SB_1_TEXT", "Ingen forbindelse til Tavra på COMPORT "),
    Row("IDS_SB_2_TEXT", "Forbindelse til Tavra på COMPORT "),
};

constexpr TextTable kMessageTable{kMessageRows};

}  // namespace

std::string_view LanguageName(Language language) {
  const auto index = static_cast<std::size_t>(language);
  return index < kLanguageCount ? kLanguageNames[index] : std::string_view{};
}

std::string_view TextTable::Lookup(std::string_view id, Language language) const {
  const auto column = static_cast<std::size_t>(language);
  if (column >= kLanguageCount) {
    return {};
  }
  for (const TextRow& row : m_rows) {
    if (SameIdIgnoringCase(row.id, id)) {
      return row.texts[column];
    }
  }
  return {};
}

const TextTable& MessageTable() {
  return kMessageTable;
}

std::string_view LookupMessage(std::string_view id, Language language) {
  return kMessageTable.Lookup(id, language);
}

std::string StatusBarText(bool connected, int port) {
  return std::string(LookupMessage(connected ? kStatusConnected : kStatusNotConnected)) +
         std::to_string(port);
}

}  // namespace tavra::loader
