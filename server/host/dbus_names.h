#pragma once
// The contract's bus names (shared/dbus/bus_names.h) under the server's own namespace.

#include "shared/dbus/bus_names.h"

namespace tavra::host {

using dbus::BasePath;
using dbus::CallbackInterface;
using dbus::NeverStartedPath;
using dbus::PoolInterface;
using dbus::PoolPath;
using dbus::PortPath;
using dbus::ServiceName;
using dbus::ShuttingDownError;
using dbus::TavraInterface;

}  // namespace tavra::host
