#include "shared/dbus/contract_xml.h"

#include "shared/dbus/contract_xml_text.h"

namespace tavra::dbus {

QString ContractDocument() {
  return QString::fromUtf8(kContractXml);
}

QString ContractInterfaceXml(const QString& interfaceName) {
  const QString document = ContractDocument();
  const QString open = QStringLiteral("<interface name=\"%1\">").arg(interfaceName);
  const qsizetype begin = document.indexOf(open);
  if (begin < 0) {
    return {};
  }
  const QString close = QStringLiteral("</interface>");
  const qsizetype end = document.indexOf(close, begin);
  if (end < 0) {
    return {};
  }
  return QStringLiteral("  ") + document.mid(begin, end + close.size() - begin) + QLatin1Char('\n');
}

}  // namespace tavra::dbus
