#pragma once
// The names of the TavraLink contract on the bus (shared/dbus/dk.norvik.TavraLink.xml), as the
// client side uses them.

#include <QtCore/QString>

namespace tavra::dbus {

inline QString ServiceName() {
  return QStringLiteral("dk.norvik.TavraLink");
}
inline QString PoolPath() {
  return QStringLiteral("/dk/norvik/TavraLink/Pool");
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
// The server's answer to a pool call while it is closing.
inline QString ShuttingDownError() {
  return QStringLiteral("dk.norvik.TavraLink.Error.ShuttingDown");
}
// Where this client's callback objects live on its own connection: one path per Client_Add,
// <CallbackBasePath>/Callback<k>.
inline QString CallbackBasePath() {
  return QStringLiteral("/dk/norvik/TavraLink/Client");
}

}  // namespace tavra::dbus
