#pragma once
// The way to TavraLink for the controller commands: the D-Bus pool factory, when the program
// is built with the D-Bus proxy (Qt). Without it the controller commands say so and fail.
//
// Threads: the main thread; a QCoreApplication must exist (main() creates it).

#include <memory>
#include <string>

#include "loader/link/driver_connection.h"
#include "loader/link/transfer_inhibitor.h"

namespace tavra::loader::cli {

[[nodiscard]] bool HaveBus();
// `reason` receives why TavraLink could not be reached; it must outlive the factory.
[[nodiscard]] DriverConnection::PoolFactory BusFactory(std::string* reason);
// The desktop's lock against suspend and shutdown during a transfer (logind on the system bus);
// null without the proxy.
[[nodiscard]] std::unique_ptr<TransferInhibitor> DesktopInhibitor();

}  // namespace tavra::loader::cli
