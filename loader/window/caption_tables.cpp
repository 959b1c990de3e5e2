#include "loader/window/caption_tables.h"

#include <array>
#include <atomic>

namespace tavra::loader {
namespace {

// Danish, English and German filled; the other six columns empty.
constexpr TextRow Row(std::string_view id,
                      std::string_view danish,
                      std::string_view english,
                      std::string_view german) {
  return TextRow{id, {danish, english, german}};
}

// A text that is the same in every language (names, versions).
constexpr TextRow Fixed(std::string_view id, std::string_view text) {
  return Row(id, text, text, text);
}

constexpr std::array kMainCaptions = {
    Fixed("Tstartform", "Tavra Firmware Loader 1.0"),
    Row("Label1", "Trin 1", "Step 1", "Schritt 1"),
    Row("Label2", "Trin 2", "Step 2", "Schritt 2"),
    Row("Label3", "Trin 3", "Step 3", "Schritt 3"),
    Row("Label4", "Trin 4", "Step 4", "Schritt 4"),
    Row("ShowFirmwareButton",
        "Vis Firmware version i Tavra Controlleren",
        "Show the firmware version in the Tavra Controller",
        "Firmware-Version im Tavra Controller anzeigen"),
    Row("OpenFirmwareButton",
        "Hent ny Tavra Firmware fil",
        "Fetch a new Tavra firmware file",
        "Neue Tavra-Firmware-Datei holen"),
    Row("BackupFirmwareButton",
        "Backup Firmware i Tavra Controller",
        "Back up the firmware in the Tavra Controller",
        "Firmware im Tavra Controller sichern"),
    Row("UpdateFirmwareButton",
        "Opdater Firmware i Tavra Controller",
        "Update the firmware in the Tavra Controller",
        "Firmware im Tavra Controller aktualisieren"),
    Row("Indstillinger1", "&Indstillinger", "&Settings", "&Einstellungen"),
    Row("VlgComport1", "&Vælg Comport", "&Choose COM port", "COM-Port &wählen"),
    Row("Luk1", "&Luk", "&Close", "&Schließen"),
    Row("Hjlp1", "&Hjælp", "&Help", "&Hilfe"),
    Row("Hjlpeemner1", "&Hjælpe emner", "Help &topics", "&Hilfethemen"),
    Row("OmTavraFirmwareLoader1",
        "&Om Tavra Firmware Loader",
        "&About Tavra Firmware Loader",
        "Ü&ber Tavra Firmware Loader"),
    Fixed("ComportToolButton", "ComportToolButton"),
    Fixed("OmToolButton", "OmToolButton"),
    Fixed("ToolButton3", "ToolButton3"),
    Row("Sprog1", "&Sprog", "&Language", "&Sprache"),
    Fixed("Dansk1", "Dansk"),
    Fixed("English1", "English"),
    Fixed("Deutsch1", "Deutsch"),
    Row("Historik1", "&Opdateringshistorik", "Update &history", "&Aktualisierungsverlauf"),
};
constexpr std::array kMainHints = {
    Row("ComportToolButton", "Vælg Comport", "Choose COM port", "COM-Port wählen"),
    Row("OmToolButton",
        "Om Tavra Firmware Loader",
        "About Tavra Firmware Loader",
        "Über Tavra Firmware Loader"),
    Row("ToolButton3", "Luk", "Close", "Schließen"),
};
constexpr std::array kComportCaptions = {
    Row("TComportForm", "Vælg Comport", "Choose COM port", "COM-Port wählen"),
    Row("Label1", "Vælg Comport", "Choose COM port", "COM-Port wählen"),
    Row("ComportAccept", "Ok", "OK", "OK"),
    Row("ComportCancel", "Fortryd", "Cancel", "Abbrechen"),
};
constexpr std::array kOpenFileCaptions = {
    Row("TOpenFileForm",
        "Vælg Tavra Firmware fil",
        "Choose a Tavra firmware file",
        "Tavra-Firmware-Datei wählen"),
    Row("Label1",
        "Tavra Firmware versions info:",
        "Tavra firmware version info:",
        "Tavra-Firmware-Versionsinfo:"),
};
constexpr std::array kBackupFileCaptions = {
    Row("TBackupFileForm",
        "Backup Tavra Firmware",
        "Back up Tavra firmware",
        "Tavra-Firmware sichern"),
};
constexpr std::array kAboutCaptions = {
    Row("TAboutBox",
        "Om Tavra Firmware Loader",
        "About Tavra Firmware Loader",
        "Über Tavra Firmware Loader"),
    Fixed("ProductName", "Tavra Firmware Loader 1.00"),
    Fixed("OKButton", "OK"),
};
constexpr std::array kHistoryCaptions = {
    Row("THistoryForm", "Opdateringshistorik", "Update history", "Aktualisierungsverlauf"),
    Row("ColTime", "Tidspunkt", "Time", "Zeitpunkt"),
    Row("ColPort", "Comport", "Port", "Port"),
    Row("ColAction", "Handling", "Action", "Vorgang"),
    Fixed("ColController", "Controller"),
    Row("ColBefore", "Version før", "Version before", "Version vorher"),
    Row("ColAfter", "Version efter", "Version after", "Version nachher"),
    Row("ColFile", "Fil", "File", "Datei"),
    Row("ColChecksums", "Checksummer", "Checksums", "Prüfsummen"),
    Row("ColResult", "Resultat", "Result", "Ergebnis"),
    Row("ColDuration", "Varighed", "Duration", "Dauer"),
    Row("ActionVersion", "Version læst", "Version read", "Version gelesen"),
    Fixed("ActionBackup", "Backup"),
    Row("ActionUpdate", "Opdatering", "Update", "Aktualisierung"),
    Fixed("ResultOk", "OK"),
    Row("ResultFailed", "Fejlet", "Failed", "Fehlgeschlagen"),
    Row("ResultCancelled", "Afbrudt", "Cancelled", "Abgebrochen"),
    Row("CloseButton", "Luk", "Close", "Schließen"),
};
constexpr std::array<TextRow, 0> kNoRows{};

constexpr std::array kLocale = {
    Row("CurrencyString", "kr", "£", "€"),
    Row("ThousandSeparator", ".", ",", "."),
    Row("DecimalSeparator", ",", ".", ","),
    Row("DateSeparator", "-", "/", "."),
    Row("ShortDateFormat", "dd-MM-yyyy", "dd/MM/yyyy", "dd.MM.yyyy"),
    Row("LongDateFormat", "d. MMMM yyyy", "d MMMM yyyy", "d. MMMM yyyy"),
    Fixed("TimeSeparator", ":"),
    Fixed("TimeAMString", ""),
    Fixed("TimePMString", ""),
    Fixed("ShortTimeFormat", "hh:mm"),
    Fixed("LongTimeFormat", "hh:mm:ss"),
};

// Id = the English caption; the Danish and English columns repeat it.
constexpr TextRow Same(std::string_view text, std::string_view german) {
  return Row(text, text, text, german);
}
constexpr std::array kStandardCaptions = {
    Same("Warning", "Warnung"),
    Same("Error", "Fehler"),
    Same("Information", "Information"),
    Same("Confirm", "Bestätigen"),
    Same("&Yes", "&Ja"),
    Same("&No", "&Nein"),
    Same("OK", "OK"),
    Same("Cancel", "Abbrechen"),
    Same("&Abort", "&Abbrechen"),
    Same("&Retry", "&Wiederholen"),
    Same("&Ignore", "&Ignorieren"),
    Same("&All", "&Alle"),
    Same("N&o to All", "N&ein für alle"),
    Same("Yes to &All", "Ja für &alle"),
    Same("&Help", "&Hilfe"),
    Same("&Open", "Ö&ffnen"),
    Same("&Save", "&Speichern"),
    Same("Look &in:", "Suchen &in:"),
    Same("File &name:", "Datei&name:"),
    Same("Files of &type:", "Datei&typ:"),
    Same("Save &in:", "Speichern &in:"),
    Same("Open", "Öffnen"),
    Same("Save As", "Speichern unter"),
    Same("Color", "Farbe"),
    Same("Font", "Schriftart"),
    Same("Print", "Drucken"),
    Same("Print Setup", "Druckeinrichtung"),
    Same("Find", "Suchen"),
    Same("Replace", "Ersetzen"),
    Same("Find what:", "Suchen nach:"),
    Same("Replace with:", "Ersetzen durch:"),
};

const TextTable kMainCaptionTable{kMainCaptions};
const TextTable kMainHintTable{kMainHints};
const TextTable kComportCaptionTable{kComportCaptions};
const TextTable kOpenFileCaptionTable{kOpenFileCaptions};
const TextTable kBackupFileCaptionTable{kBackupFileCaptions};
const TextTable kAboutCaptionTable{kAboutCaptions};
const TextTable kHistoryCaptionTable{kHistoryCaptions};
const TextTable kNoHintTable{kNoRows};
const TextTable kLocaleTable{kLocale};
const TextTable kStandardCaptionTable{kStandardCaptions};

std::atomic<Language> g_activeLanguage{Language::Danish};

}  // namespace

Language ActiveLanguage() {
  return g_activeLanguage.load(std::memory_order_relaxed);
}

void SetActiveLanguage(Language language) {
  g_activeLanguage.store(language, std::memory_order_relaxed);
}

const TextTable& CaptionTable(LoaderWindow window) {
  switch (window) {
    case LoaderWindow::Main: return kMainCaptionTable;
    case LoaderWindow::Comport: return kComportCaptionTable;
    case LoaderWindow::OpenFile: return kOpenFileCaptionTable;
    case LoaderWindow::BackupFile: return kBackupFileCaptionTable;
    case LoaderWindow::About: return kAboutCaptionTable;
    case LoaderWindow::History: return kHistoryCaptionTable;
  }
  return kNoHintTable;
}

const TextTable& HintTable(LoaderWindow window) {
  return window == LoaderWindow::Main ? kMainHintTable : kNoHintTable;
}

const TextTable& LocaleTable() {
  return kLocaleTable;
}

const TextTable& StandardDialogCaptions() {
  return kStandardCaptionTable;
}

std::string_view Caption(LoaderWindow window, std::string_view component) {
  return CaptionTable(window).Lookup(component, ActiveLanguage());
}

std::string_view Hint(LoaderWindow window, std::string_view component) {
  return HintTable(window).Lookup(component, ActiveLanguage());
}

std::string_view LocaleValue(std::string_view name) {
  return LocaleTable().Lookup(name, ActiveLanguage());
}

std::string_view StandardCaption(std::string_view id) {
  return StandardDialogCaptions().Lookup(id, ActiveLanguage());
}

}  // namespace tavra::loader
