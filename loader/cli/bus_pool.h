#pragma once
// The way to TavraLink for the controller commands: the D-Bus pool factory, when the program
// is built with the D-Bus proxy (Qt). Without it the controller commands say so and fail.
//
// Threads: the main thread; a QCoreApplication must exist (main() creates it).

#include <string>

#include "loader/link/driver_connection.h"

namespace tavra::loader::cli {

[[nodiscard]] bool HaveBus();
// `reason` receives why TavraLink could not be reached; it must outlive the factory.
[[nodiscard]] DriverConnection::PoolFactory BusFactory(std::string* reason);

}  // namespace tavra::loader::cli
