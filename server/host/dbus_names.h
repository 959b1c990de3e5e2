#pragma once
// The names TavraLink uses on the session bus (see shared/dbus/dk.norvik.TavraLink.xml).

#include <QtCore/QString>

namespace tavra::host {

inline QString ServiceName() {
  return QStringLiteral("dk.norvik.TavraLink");
}
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

inline QString PoolInterface() {
  return QStringLiteral("dk.norvik.TavraLink.Pool");
}
inline QString TavraInterface() {
  return QStringLiteral("dk.norvik.TavraLink.Tavra");
}
inline QString CallbackInterface() {
  return QStringLiteral("dk.norvik.TavraLink.TavraCallback");
}

// D-Bus error of a creation request that a closing server no longer serves.
inline QString ShuttingDownError() {
  return QStringLiteral("dk.norvik.TavraLink.Error.ShuttingDown");
}

}  // namespace tavra::host
