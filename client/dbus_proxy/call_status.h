#pragma once
// The calling thread's record of its last call on the bus (LastCallStatus()). Thread-local:
// no locks.

#include <QtCore/QString>

#include "client/dbus_proxy/tavra_dbus_proxy.h"

namespace tavra::dbus {

void SetCallSucceeded();
void SetCallFailed(const QString& errorName, const QString& errorMessage);

}  // namespace tavra::dbus
