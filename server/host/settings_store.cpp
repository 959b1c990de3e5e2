#include "server/host/settings_store.h"

#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QVariant>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace tavra::host {

namespace {

QSettings OpenStore() {
  return {QSettings::IniFormat, QSettings::UserScope, QString::fromLatin1(kSettingsOrganization),
          QString::fromLatin1(kSettingsApplication)};
}

QString KeyOf(std::string_view name) {
  return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

// A stored value as an integer, or nothing when it is missing or not a decimal integer. The
// INI reader gives text; a list ("1,2") or any other type counts as missing. The range check
// (32 bits) is the record's.
std::optional<std::int64_t> ParseStored(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: break;
    default: return std::nullopt;
  }
  bool ok = false;
  const qlonglong n = value.toString().trimmed().toLongLong(&ok, 10);
  if (!ok) {
    return std::nullopt;
  }
  return static_cast<std::int64_t>(n);
}

}  // namespace

void ShowWarningBox(const QString& caption, const QString& text) {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr) {
    QMessageBox::warning(nullptr, caption, text);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", caption.toLocal8Bit().constData(),
               text.toLocal8Bit().constData());
}

void ReadSettings(stack::SettingsRecord& record) {
  const QSettings store = OpenStore();
  record.ResetToDefaults();
  record.ApplyStored(
      [&store](std::string_view name) { return ParseStored(store.value(KeyOf(name))); });
}

bool WriteDefaults(const WarningBox& warn) {
  bool written = false;
  {
    QSettings store = OpenStore();
    if (store.isWritable()) {
      store.clear();
      for (const stack::SettingDefinition& d : stack::kSettingDefinitions) {
        store.setValue(KeyOf(d.name), static_cast<int>(d.defaultValue));
      }
      store.sync();
      written = store.status() == QSettings::NoError;
    }
  }
  if (!written && warn) {
    warn(QString::fromLatin1(kWriteDefaultsErrorCaption),
         QString::fromLatin1(kWriteDefaultsErrorText));
  }
  return written;
}

void ListSettings(const stack::SettingsRecord& record) {
  const std::string list = record.FormatList();
  std::fwrite(list.data(), 1, list.size(), stderr);
  std::fflush(stderr);
}

}  // namespace tavra::host
