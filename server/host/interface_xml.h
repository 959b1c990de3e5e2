#pragma once
// The introspection data that the server's objects serve: the <interface> elements of
// shared/dbus/dk.norvik.TavraLink.xml, taken verbatim (argument names and doc annotations
// included), built into the program. Pure functions; any thread.

#include <QtCore/QString>

namespace tavra::host {

// The whole description file.
[[nodiscard]] QString IntrospectionDocument();

// The <interface name="..."> ... </interface> element of one interface, or an empty text when
// the file has no such interface.
[[nodiscard]] QString InterfaceXml(const QString& interfaceName);

}  // namespace tavra::host
