#pragma once
// The names of the TavraLink contract on the session bus (shared/dbus/dk.norvik.TavraLink.xml),
// the one place both the server and its clients take them from. Qt-only header (QtCore).

#include <QtCore/QString>

namespace tavra::dbus {

inline QString ServiceName() {
  return QStringLiteral("dk.norvik.TavraLink");
}

// The server's objects: the pool, one object per port, and the Tavra objects.
inline QString BasePath() {
  return QStringLiteral("/dk/norvik/TavraLink");
}
inline QString PoolPath() {
  return QStringLiteral("/dk/norvik/TavraLink/Pool");
}
inline QString PortPath(int port) {
  return QStringLiteral("/dk/norvik/TavraLink/Port%1").arg(port);
}
inline QString NeverStartedPath(quint64 k) {
  return QStringLiteral("/dk/norvik/TavraLink/Tavra%1").arg(k);
}
// Where a client's callback objects live on its own connection: one path per Client_Add,
// <CallbackBasePath>/Callback<k>.
inline QString CallbackBasePath() {
  return QStringLiteral("/dk/norvik/TavraLink/Client");
}

inline QString PoolInterface() {
  return QStringLiteral("dk.norvik.TavraLink.Pool");
}
inline QString TavraInterface() {
  return QStringLiteral("dk.norvik.TavraLink.Tavra");
}
inline QString CallbackInterface() {
  return QStringLiteral("dk.norvik.TavraLink.TavraCallback");
}

// The D-Bus error of a creation request or pool call that a closing server no longer serves.
inline QString ShuttingDownError() {
  return QStringLiteral("dk.norvik.TavraLink.Error.ShuttingDown");
}

}  // namespace tavra::dbus
