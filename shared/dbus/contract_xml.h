#pragma once
// The contract's description file, shared/dbus/dk.norvik.TavraLink.xml, built in: what the
// server's objects and the clients' callback objects answer to Introspect, taken verbatim
// (argument names and doc annotations included). Pure functions; any thread.

#include <QtCore/QString>

namespace tavra::dbus {

// The whole description file.
[[nodiscard]] QString ContractDocument();

// The <interface name="..."> ... </interface> element of one interface, indented by two blanks
// and ended by a line break, or an empty text when the file has no such interface.
[[nodiscard]] QString ContractInterfaceXml(const QString& interfaceName);

}  // namespace tavra::dbus
