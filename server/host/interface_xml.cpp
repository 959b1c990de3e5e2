#include "server/host/interface_xml.h"

#include "server/host/interface_xml_text.h"

namespace tavra::host {

QString IntrospectionDocument() {
  return QString::fromUtf8(kIntrospectionXml);
}

QString InterfaceXml(const QString& interfaceName) {
  const QString document = IntrospectionDocument();
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

}  // namespace tavra::host
