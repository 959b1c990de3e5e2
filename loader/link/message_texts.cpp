#include "loader/link/message_texts.h"

namespace tavra::loader {
namespace {

constexpr TextRow Row(std::string_view id,
                      std::string_view danish,
                      std::string_view english,
                      std::string_view german) {
  return TextRow{id, {danish, english, german}};
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

// Danish, English, German. The blanks belong to the Danish texts: the double blanks in
// IDS_MB_11, 26 and 27, the blank before each '!'. Every status bar text ends in a blank (the
// port number follows it).
constexpr TextRow kMessageRows[] = {
    Row("IDS_MB_ERR_CAPTION", "FejlBesked", "Error message", "Fehlermeldung"),
    Row("IDS_MB_SUC_CAPTION", "Succes Besked", "Success message", "Erfolgsmeldung"),
    Row("IDS_MB_1_TEXT",
        "Ændring af Comport nr fejlet !",
        "Changing the COM port failed!",
        "Wechsel des COM-Ports fehlgeschlagen!"),
    Row("IDS_MB_2_TEXT",
        "Forkert checksum i fil !",
        "Wrong checksum in the file!",
        "Falsche Prüfsumme in der Datei!"),
    Row("IDS_MB_3_TEXT",
        "Ingen fil valgt til download (Opdatering) af Tavra Controller",
        "No file chosen for the download (update) to the Tavra Controller",
        "Keine Datei für den Download (die Aktualisierung) in den Tavra Controller gewählt"),
    Row("IDS_MB_4_TEXT",
        "Opdater Firmware fejlet !",
        "Firmware update failed!",
        "Aktualisierung der Firmware fehlgeschlagen!"),
    Row("IDS_MB_5_TEXT",
        "Opdater Firmware afsluttet med succes",
        "Firmware update completed successfully",
        "Aktualisierung der Firmware erfolgreich abgeschlossen"),
    Row("IDS_MB_6_TEXT",
        "Firmware header Backup fejlet !",
        "Backup of the firmware header failed!",
        "Sicherung des Firmware-Headers fehlgeschlagen!"),
    Row("IDS_MB_7_TEXT",
        "Firmware Backup fejlet !",
        "Firmware backup failed!",
        "Sicherung der Firmware fehlgeschlagen!"),
    Row("IDS_MB_8_TEXT",
        "Firmware Backup checksum fejl !",
        "Checksum error in the firmware backup!",
        "Prüfsummenfehler in der Sicherung der Firmware!"),
    Row("IDS_MB_9_TEXT",
        "Firmware header Backup checksum fejl !",
        "Checksum error in the firmware header backup!",
        "Prüfsummenfehler in der Sicherung des Firmware-Headers!"),
    Row("IDS_MB_10_TEXT",
        "Backupfil kan ikke oprettes !",
        "The backup file cannot be created!",
        "Die Sicherungsdatei kann nicht angelegt werden!"),
    Row("IDS_MB_11_TEXT",
        "Backup header temp  fil kan ikke oprettes !",
        "The temporary file for the backup header cannot be created!",
        "Die temporäre Datei für den Header der Sicherung kann nicht angelegt werden!"),
    Row("IDS_MB_12_TEXT",
        "Backup af header fejlet, ukendt kommando modtaget !",
        "Backup of the header failed, unknown command received!",
        "Sicherung des Headers fehlgeschlagen, unbekannter Befehl empfangen!"),
    Row("IDS_MB_13_TEXT",
        "Opdatering af header fejlet, ukendt kommando modtaget !",
        "Update of the header failed, unknown command received!",
        "Aktualisierung des Headers fehlgeschlagen, unbekannter Befehl empfangen!"),
    Row("IDS_MB_14_TEXT",
        "Backup fejlet, ukendt kommando modtaget !",
        "Backup failed, unknown command received!",
        "Sicherung fehlgeschlagen, unbekannter Befehl empfangen!"),
    Row("IDS_MB_15_TEXT",
        "Opdatering fejlet, ukendt kommando modtaget !",
        "Update failed, unknown command received!",
        "Aktualisierung fehlgeschlagen, unbekannter Befehl empfangen!"),
    Row("IDS_MB_16_TEXT",
        "Driver fejlet, Management_request connect to boot code !",
        "Driver failed: Management_request connect to boot code!",
        "Treiber fehlgeschlagen: Management_request connect to boot code!"),
    Row("IDS_MB_17_TEXT",
        "Tavra Controller kan ikke opdateres via Firmware Loader !",
        "The Tavra Controller cannot be updated with the Firmware Loader!",
        "Der Tavra Controller kann nicht mit dem Firmware Loader aktualisiert werden!"),
    Row("IDS_MB_18_TEXT",
        "Forbindelse til driver kan ikke oprettes !",
        "The connection to the driver cannot be made!",
        "Die Verbindung zum Treiber kann nicht hergestellt werden!"),
    Row("IDS_MB_19_TEXT",
        "Driver returnerer ukendt fejl !",
        "The driver returns an unknown error!",
        "Der Treiber meldet einen unbekannten Fehler!"),
    Row("IDS_MB_20_TEXT",
        "Driver Initialiserings fejl !",
        "Driver initialisation error!",
        "Fehler bei der Initialisierung des Treibers!"),
    Row("IDS_MB_21_TEXT",
        "Comport kunne ikke åbnes !",
        "The COM port could not be opened!",
        "Der COM-Port konnte nicht geöffnet werden!"),
    Row("IDS_MB_22_TEXT",
        "Comport nr eksisterer ikke !",
        "The COM port number does not exist!",
        "Die COM-Port-Nummer existiert nicht!"),
    Row("IDS_MB_23_TEXT",
        "Comport nr er ibrug af andet program !",
        "The COM port is in use by another program!",
        "Der COM-Port wird von einem anderen Programm benutzt!"),
    Row("IDS_MB_24_TEXT",
        "Driveren mangler resourcer !",
        "The driver is out of resources!",
        "Dem Treiber fehlen Ressourcen!"),
    Row("IDS_MB_25_TEXT",
        "Ingen Firmware i Tavra Controlleren !",
        "No firmware in the Tavra Controller!",
        "Keine Firmware im Tavra Controller!"),
    Row("IDS_MB_26_TEXT",
        "Backup af  Firmware afsluttet med succes",
        "Firmware backup completed successfully",
        "Sicherung der Firmware erfolgreich abgeschlossen"),
    Row("IDS_MB_27_TEXT",
        "Intet SerieNummer i  Tavra Controlleren !",
        "No serial number in the Tavra Controller!",
        "Keine Seriennummer im Tavra Controller!"),
    Row("IDS_MB_28_TEXT",
        "Læsning af SerieNummer fejlet, ukendt kommando modtaget !",
        "Reading the serial number failed, unknown command received!",
        "Lesen der Seriennummer fehlgeschlagen, unbekannter Befehl empfangen!"),
    Row("IDS_MB_29_TEXT",
        "Det er ikke tilladt at downloade valgte Tavra Firmware fil til Tavra Controlleren !",
        "The chosen Tavra firmware file may not be downloaded to this Tavra Controller!",
        "Die gewählte Tavra-Firmware-Datei darf nicht in diesen Tavra Controller geladen werden!"),
    Row("IDS_SB_1_TEXT",
        "Ingen forbindelse til Tavra på COMPORT ",
        "No connection to Tavra on COM port ",
        "Keine Verbindung zu Tavra an COM-Port "),
    Row("IDS_SB_2_TEXT",
        "Forbindelse til Tavra på COMPORT ",
        "Connected to Tavra on COM port ",
        "Verbunden mit Tavra an COM-Port "),
};

constexpr TextTable kMessageTable{kMessageRows};

}  // namespace

std::string_view LanguageName(Language language) {
  const auto index = static_cast<std::size_t>(language);
  return index < kLanguageCount ? kLanguageNames[index] : std::string_view{};
}

std::optional<Language> OfferedLanguage(std::string_view name) {
  for (const Language language : kOfferedLanguages) {
    if (SameIdIgnoringCase(LanguageName(language), name)) {
      return language;
    }
  }
  return std::nullopt;
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

std::string StatusBarText(bool connected, int port, Language language) {
  return std::string(LookupMessage(connected ? kStatusConnected : kStatusNotConnected, language)) +
         std::to_string(port);
}

}  // namespace tavra::loader
