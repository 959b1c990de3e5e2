#include "loader/window/caption_tables.h"

#include <array>

namespace tavra::loader {
namespace {

// Danish column filled; the other eight empty.
constexpr TextRow Row(std::string_view id, std::string_view danish) {
  return TextRow{id, {danish, "", "", "", "", "", "", "", ""}};
}

constexpr std::array kMainCaptions = {
    Row("Tstartform", "Tavra Firmware Loader 1.0"),
    Row("Label1", "Trin 1"),
    Row("Label2", "Trin 2"),
    Row("Label3", "Trin 3"),
    Row("Label4", "Trin 4"),
    Row("ShowFirmwareButton", "Vis Firmware version i Tavra Controlleren"),
    Row("OpenFirmwareButton", "Hent ny Tavra Firmware fil"),
    Row("BackupFirmwareButton", "Backup Firmware i Tavra Controller"),
    Row("UpdateFirmwareButton", "Opdater Firmware i Tavra Controller"),
    Row("Indstillinger1", "&Indstillinger"),
    Row("VlgComport1", "&Vælg Comport"),
    Row("Luk1", "&Luk"),
    Row("Hjlp1", "&Hjælp"),
    Row("Hjlpeemner1", "&Hjælpe emner"),
    Row("OmTavraFirmwareLoader1", "&Om Tavra Firmware Loader"),
    Row("ComportToolButton", "ComportToolButton"),
    Row("OmToolButton", "OmToolButton"),
    Row("ToolButton3", "ToolButton3"),
};
constexpr std::array kMainHints = {
    Row("ComportToolButton", "Vælg Comport"),
    Row("OmToolButton", "Om Tavra Firmware Loader"),
    Row("ToolButton3", "Luk"),
};
constexpr std::array kComportCaptions = {
    Row("TComportForm", "Vælg Comport"),
    Row("Label1", "Vælg Comport"),
    Row("ComportAccept", "Ok"),
    Row("ComportCancel", "Fortryd"),
};
constexpr std::array kOpenFileCaptions = {
    Row("TOpenFileForm", "Vælg Tavra Firmware fil"),
    Row("Label1", "Tavra Firmware versions info:"),
};
constexpr std::array kBackupFileCaptions = {
    Row("TBackupFileForm", "Backup Tavra Firmware"),
};
constexpr std::array kAboutCaptions = {
    Row("TAboutBox", "Om Tavra Firmware Loader"),
    Row("ProductName", "Tavra Firmware Loader 1.00"),
    Row("OKButton", "OK"),
};
constexpr std::array<TextRow, 0> kNoRows{};

constexpr std::array kLocale = {
    Row("CurrencyString", "kr"),
    Row("ThousandSeparator", "."),
    Row("DecimalSeparator", ","),
    Row("DateSeparator", "-"),
    Row("ShortDateFormat", "dd-MM-yyyy"),
    Row("LongDateFormat", "d. MMMM yyyy"),
    Row("TimeSeparator", ":"),
    Row("TimeAMString", ""),
    Row("TimePMString", ""),
    Row("ShortTimeFormat", "hh:mm"),
    Row("LongTimeFormat", "hh:mm:ss"),
};

// Id = the English caption; the Danish column repeats it.
constexpr TextRow Same(std::string_view text) {
  return Row(text, text);
}
constexpr std::array kStandardCaptions = {
    Same("Warning"),
    Same("Error"),
    Same("Information"),
    Same("Confirm"),
    Same("&Yes"),
    Same("&No"),
    Same("OK"),
    Same("Cancel"),
    Same("&Abort"),
    Same("&Retry"),
    Same("&Ignore"),
    Same("&All"),
    Same("N&o to All"),
    Same("Yes to &All"),
    Same("&Help"),
    Same("&Open"),
    Same("&Save"),
    Same("Look &in:"),
    Same("File &name:"),
    Same("Files of &type:"),
    Same("Save &in:"),
    Same("Open"),
    Same("Save As"),
    Same("Color"),
    Same("Font"),
    Same("Print"),
    Same("Print Setup"),
    Same("Find"),
    Same("Replace"),
    Same("Find what:"),
    Same("Replace with:"),
};

const TextTable kMainCaptionTable{kMainCaptions};
const TextTable kMainHintTable{kMainHints};
const TextTable kComportCaptionTable{kComportCaptions};
const TextTable kOpenFileCaptionTable{kOpenFileCaptions};
const TextTable kBackupFileCaptionTable{kBackupFileCaptions};
const TextTable kAboutCaptionTable{kAboutCaptions};
const TextTable kNoHintTable{kNoRows};
const TextTable kLocaleTable{kLocale};
const TextTable kStandardCaptionTable{kStandardCaptions};

}  // namespace

const TextTable& CaptionTable(LoaderWindow window) {
  switch (window) {
    case LoaderWindow::Main: return kMainCaptionTable;
    case LoaderWindow::Comport: return kComportCaptionTable;
    case LoaderWindow::OpenFile: return kOpenFileCaptionTable;
    case LoaderWindow::BackupFile: return kBackupFileCaptionTable;
    case LoaderWindow::About: return kAboutCaptionTable;
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
  return CaptionTable(window).Lookup(component, kActiveLanguage);
}

std::string_view Hint(LoaderWindow window, std::string_view component) {
  return HintTable(window).Lookup(component, kActiveLanguage);
}

std::string_view LocaleValue(std::string_view name) {
  return LocaleTable().Lookup(name, kActiveLanguage);
}

std::string_view StandardCaption(std::string_view id) {
  return StandardDialogCaptions().Lookup(id, kActiveLanguage);
}

}  // namespace tavra::loader
