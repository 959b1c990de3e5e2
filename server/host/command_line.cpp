#include "server/host/command_line.h"

namespace tavra::host {

QString CommandLineFromArguments(const QStringList& arguments) {
  return arguments.mid(1).join(QLatin1Char(' '));
}

CommandLineOption ParseCommandLine(const QString& line) {
  struct Known {
    QLatin1StringView text;
    CommandLineOption option;
  };
  static constexpr Known kOptions[] = {
      {QLatin1StringView("UnregServer"), CommandLineOption::UnregServer},
      {QLatin1StringView("RegServer"), CommandLineOption::RegServer},
      {QLatin1StringView("WriteRegistry"), CommandLineOption::WriteRegistry},
  };
  for (qsizetype i = 0; i < line.size(); ++i) {
    const QChar c = line.at(i);
    if (c != QLatin1Char('-') && c != QLatin1Char('/')) {
      continue;
    }
    const QStringView rest = QStringView(line).mid(i + 1);
    for (const Known& known : kOptions) {
      if (rest.compare(known.text, Qt::CaseInsensitive) == 0) {
        return known.option;
      }
    }
  }
  return CommandLineOption::None;
}

}  // namespace tavra::host
