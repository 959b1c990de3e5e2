#include "loader/window/loader_settings.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

namespace tavra::loader {
namespace {

constexpr char kHelpFileKey[] = "HelpFile";
constexpr char kFirmwareFilesKey[] = "FirmwareFiles";
constexpr char kComportKey[] = "Comport";
constexpr char kLanguageKey[] = "Language";

QSettings Open() {
  return {QSettings::IniFormat, QSettings::UserScope,
          QString::fromLatin1(kLoaderSettingsOrganization),
          QString::fromLatin1(kLoaderSettingsApplication)};
}

int ComportOf(const QSettings& store) {
  bool ok = false;
  const int port = store.value(QString::fromLatin1(kComportKey)).toString().toInt(&ok);
  return ok ? port : kFallbackComport;
}

}  // namespace

namespace settings {

int RefreshAtStart(const QString& programDir) {
  QSettings store = Open();
  const bool present = store.contains(QString::fromLatin1(kHelpFileKey));
  const QString folder = QDir(programDir).absolutePath() + QLatin1Char('/');
  store.setValue(QString::fromLatin1(kHelpFileKey), folder);
  store.setValue(QString::fromLatin1(kFirmwareFilesKey), folder + QStringLiteral("Firmware Files"));
  if (!present) {
    store.setValue(QString::fromLatin1(kComportKey), kFallbackComport);
  }
  store.sync();
  return ComportOf(store);
}

bool HasHelpFile() {
  return Open().contains(QString::fromLatin1(kHelpFileKey));
}

int ReadComport() {
  const QSettings store = Open();
  return store.contains(QString::fromLatin1(kHelpFileKey)) ? ComportOf(store) : kFallbackComport;
}

void WriteComportIfPresent(int port) {
  QSettings store = Open();
  if (store.contains(QString::fromLatin1(kHelpFileKey))) {
    store.setValue(QString::fromLatin1(kComportKey), port);
  }
}

QString FirmwareFiles() {
  return Open().value(QString::fromLatin1(kFirmwareFilesKey)).toString();
}

QString HelpFilePath() {
  return Open().value(QString::fromLatin1(kHelpFileKey)).toString() +
         QString::fromLatin1(kHelpFileName);
}

Language ReadLanguage() {
  const std::string name = Open().value(QString::fromLatin1(kLanguageKey)).toString().toStdString();
  return OfferedLanguage(name).value_or(Language::Danish);
}

void WriteLanguage(Language language) {
  const std::string_view name = LanguageName(language);
  Open().setValue(QString::fromLatin1(kLanguageKey),
                  QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
}

QString HelpTarget(const QString& programDir) {
  QString own = HelpFilePath();
  const QStringList candidates = {
      own, programDir + QStringLiteral("/../share/doc/tavra/manual/index.html"),
      QStringLiteral(TAVRA_SOURCE_MANUAL)};
  for (const QString& candidate : candidates) {
    if (QFileInfo(candidate).isFile()) {
      return QFileInfo(candidate).absoluteFilePath();
    }
  }
  return own;
}

}  // namespace settings

void OpenHelpFile() {
  QDesktopServices::openUrl(
      QUrl::fromLocalFile(settings::HelpTarget(QCoreApplication::applicationDirPath())));
}

}  // namespace tavra::loader
