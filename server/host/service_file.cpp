#include "server/host/service_file.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QSaveFile>

#include "server/host/dbus_names.h"

namespace tavra::host {

namespace {
constexpr int kExitWriteFailed = 1;
constexpr int kExitRemoveFailed = 2;
}  // namespace

QString ServiceFileDirectory() {
  QString base = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
  // A relative XDG_DATA_HOME is invalid and must be ignored.
  if (base.isEmpty() || QDir::isRelativePath(base)) {
    base = QDir::homePath() + QStringLiteral("/.local/share");
  }
  return base + QStringLiteral("/dbus-1/services");
}

QString ServiceFilePath() {
  return ServiceFileDirectory() + QLatin1Char('/') + ServiceName() + QStringLiteral(".service");
}

QString ServiceFileText(const QString& programPath) {
  // The bus reads Exec= as a key-file value (a backslash escapes) and then splits it as a shell
  // would: the path goes in single quotes, which keep spaces and every other character; a
  // single quote itself is closed, escaped and reopened ('\''), and every backslash is then
  // doubled for the key file.
  QString quoted = programPath;
  quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
  quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  return QStringLiteral("[D-BUS Service]\nName=%1\nExec='%2'\n").arg(ServiceName(), quoted);
}

int WriteServiceFile(const QString& programPath, QString* error) {
  const QString dir = ServiceFileDirectory();
  if (!QDir().mkpath(dir)) {
    if (error != nullptr) {
      *error = QStringLiteral("cannot create %1").arg(dir);
    }
    return kExitWriteFailed;
  }
  QSaveFile file(ServiceFilePath());
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
    if (error != nullptr) {
      *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
    }
    return kExitWriteFailed;
  }
  file.write(ServiceFileText(programPath).toUtf8());
  if (!file.commit()) {
    if (error != nullptr) {
      *error = QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString());
    }
    return kExitWriteFailed;
  }
  return 0;
}

int RemoveServiceFile(QString* error) {
  QFile file(ServiceFilePath());
  if (!file.exists()) {
    return 0;
  }
  if (!file.remove()) {
    if (error != nullptr) {
      *error = QStringLiteral("cannot remove %1: %2").arg(file.fileName(), file.errorString());
    }
    return kExitRemoveFailed;
  }
  return 0;
}

}  // namespace tavra::host
