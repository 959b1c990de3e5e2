#include "shared/dbus/contract_methods.h"

#include <QtCore/QHash>
#include <QtCore/QXmlStreamReader>

#include "shared/dbus/contract_xml.h"

namespace tavra::dbus {
namespace {

using MethodTable = QHash<QString, QList<ContractMethod>>;

// Adds one <arg> to the method it belongs to.
void AddArgument(const QXmlStreamAttributes& attributes, ContractMethod& method) {
  const QString type = attributes.value(QLatin1StringView("type")).toString();
  if (attributes.value(QLatin1StringView("direction")) == QLatin1StringView("out")) {
    method.out += type;
  } else {
    method.in += type;  // "in" is the default of a method's arguments
  }
}

MethodTable Parse() {
  MethodTable table;
  QXmlStreamReader reader(ContractDocument());
  QList<ContractMethod>* methods = nullptr;  // of the interface being read
  ContractMethod* method = nullptr;          // the method being read (not a signal's args)
  while (!reader.atEnd()) {
    if (reader.readNext() != QXmlStreamReader::StartElement) {
      continue;
    }
    const QStringView element = reader.name();
    const QXmlStreamAttributes attributes = reader.attributes();
    const QString name = attributes.value(QLatin1StringView("name")).toString();
    if (element == QLatin1StringView("interface")) {
      methods = &table[name];
      method = nullptr;
    } else if (element == QLatin1StringView("method") && methods != nullptr) {
      methods->append({name, {}, {}});
      method = &methods->last();
    } else if (element == QLatin1StringView("arg") && method != nullptr) {
      AddArgument(attributes, *method);
    } else if (element == QLatin1StringView("signal")) {
      method = nullptr;
    }
  }
  return table;
}

const MethodTable& Table() {
  static const MethodTable table = Parse();
  return table;
}

}  // namespace

const QList<ContractMethod>& ContractMethods(const QString& interfaceName) {
  static const QList<ContractMethod> none;
  const auto it = Table().constFind(interfaceName);
  return it == Table().constEnd() ? none : *it;
}

const ContractMethod* FindContractMethod(const QString& interfaceName, const QString& member) {
  for (const ContractMethod& method : ContractMethods(interfaceName)) {
    if (method.name == member) {
      return &method;
    }
  }
  return nullptr;
}

}  // namespace tavra::dbus
