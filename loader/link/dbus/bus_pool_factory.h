#pragma once
// The loader's way to the pool over the session bus: a DriverConnection::PoolFactory that
// reaches (or starts) TavraLink with ConnectTavraPool. The class context of the Windows
// component system has no meaning on the bus and is ignored.
//
// Threads: as ConnectTavraPool (any thread; a QCoreApplication must exist).

#include <string>

#include "client/dbus_proxy/tavra_dbus_proxy.h"
#include "loader/link/driver_connection.h"

namespace tavra::dbus {

// `reason`, when given, receives ConnectTavraPool's reason for a failure (it must outlive the
// factory).
[[nodiscard]] loader::DriverConnection::PoolFactory BusPoolFactory(const ProxyOptions& options = {},
                                                                   std::string* reason = nullptr);

}  // namespace tavra::dbus
