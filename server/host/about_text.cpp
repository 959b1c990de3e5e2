#include "server/host/about_text.h"

#include <QtCore/QStringList>

#include "server/host/host_texts.h"

namespace tavra::host {

std::optional<std::array<int, 4>> ParseFileVersion(const QString& text) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() < 4) {
    return std::nullopt;
  }
  std::array<int, 4> numbers{};
  for (int i = 0; i < 4; ++i) {
    // The fourth part is the rest of the text after the third comma.
    const QString part = i < 3 ? parts[i] : parts.mid(3).join(QLatin1Char(','));
    bool ok = false;
    numbers[static_cast<std::size_t>(i)] = part.trimmed().toInt(&ok);
    if (!ok) {
      return std::nullopt;
    }
  }
  return numbers;
}

QString AboutBoxText(const QString& fileVersion) {
  const std::array<int, 4> v = ParseFileVersion(fileVersion).value_or(std::array<int, 4>{});
  return QStringLiteral("%1 %2.%3.%4.%5\n\n%6")
      .arg(QString::fromUtf8(texts::kVersionLabel))
      .arg(v[0])
      .arg(v[1])
      .arg(v[2])
      .arg(v[3])
      .arg(QString::fromUtf8(texts::kAboutText));
}

}  // namespace tavra::host
