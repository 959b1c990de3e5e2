#pragma once
// One row of dk.norvik.TavraLink.Pool.GetPortTable, D-Bus signature (ibbiay): port number,
// in use, link up, client count and the 6 controller identity bytes. Qt-only header (QtDBus),
// shared by the server's adaptor and the clients' proxies; plain C++ code uses the port table
// of server/stack instead.

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QMetaType>
#include <QtDBus/QDBusArgument>
#include <QtDBus/QDBusMetaType>

namespace tavra::dbus {

struct PortTableRow {
  qint32 port = 0;
  bool inUse = false;
  bool linkUp = false;
  qint32 clientCount = 0;
  QByteArray identity;  // 6 bytes: type, four version bytes, one further byte
};

inline QDBusArgument& operator<<(QDBusArgument& arg, const PortTableRow& row) {
  arg.beginStructure();
  arg << row.port << row.inUse << row.linkUp << row.clientCount << row.identity;
  arg.endStructure();
  return arg;
}

inline const QDBusArgument& operator>>(const QDBusArgument& arg, PortTableRow& row) {
  arg.beginStructure();
  arg >> row.port >> row.inUse >> row.linkUp >> row.clientCount >> row.identity;
  arg.endStructure();
  return arg;
}

// Call once before a PortTableRow list crosses the bus (qDBusRegisterMetaType is idempotent).
inline void RegisterPortTableRowType() {
  qDBusRegisterMetaType<PortTableRow>();
  qDBusRegisterMetaType<QList<PortTableRow>>();
}

}  // namespace tavra::dbus

Q_DECLARE_METATYPE(tavra::dbus::PortTableRow)
