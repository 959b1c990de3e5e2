#pragma once
// A callback (shared/callback_event.h) as a method call of dk.norvik.TavraLink.TavraCallback:
// the member is the method's name, and the arguments follow the contract's signature of it
// (contract_methods.h), "i" and "y" carrying the event's values in order and "ay" its data.
// The server sends callbacks with CallbackArguments; a client reads them with ParseCallback.
// Pure functions; any thread.

#include <QtCore/QByteArray>
#include <QtCore/QList>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <optional>

#include "shared/callback_event.h"

namespace tavra::dbus {

[[nodiscard]] QString CallbackMember(const CallbackEvent& event);
[[nodiscard]] QList<QVariant> CallbackArguments(const CallbackEvent& event);

// Whether `member` is a method of the callback interface.
[[nodiscard]] bool IsCallbackMember(const QString& member);

// The event of a call of `member` with `arguments` of `signature`; none when the member is not a
// callback method or the signature is not the contract's. Its data points into `data` (never
// null, also when empty), which must outlive the event's use.
[[nodiscard]] std::optional<CallbackEvent> ParseCallback(const QString& member,
                                                         const QString& signature,
                                                         const QList<QVariant>& arguments,
                                                         QByteArray& data);

}  // namespace tavra::dbus
