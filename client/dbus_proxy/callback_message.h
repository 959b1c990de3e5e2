#pragma once
// One method call of dk.norvik.TavraLink.TavraCallback turned into the matching ITavraCallback
// call. The signature must be exactly the contract's; the data buffer handed on is the message's
// bytes (never null, also when empty) and valid only during the call.
//
// An exception thrown by the client's callback is caught and logged (standard error); the call
// counts as delivered. Pure function; runs on the thread that calls it (the proxy's bus thread).

#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QVariant>

#include "shared/tavra_interfaces.h"

namespace tavra::dbus {

enum class CallbackMessageResult {
  Delivered,
  UnknownMethod,  // not a method of the callback interface
  BadArguments,   // a method of it, with another signature
};

[[nodiscard]] CallbackMessageResult DeliverCallbackMessage(const QString& member,
                                                           const QString& signature,
                                                           const QList<QVariant>& arguments,
                                                           ITavraCallback& callback);

}  // namespace tavra::dbus
