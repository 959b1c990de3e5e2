#include "bus_pool.h"

#if defined(TAVRA_CLI_WITH_BUS)
#include "loader/link/dbus/bus_pool_factory.h"
#include "loader/link/dbus/logind_inhibitor.h"
#endif

namespace tavra::loader::cli {

#if defined(TAVRA_CLI_WITH_BUS)

bool HaveBus() {
  return true;
}

DriverConnection::PoolFactory BusFactory(std::string* reason) {
  return dbus::BusPoolFactory({}, reason);
}

std::unique_ptr<TransferInhibitor> DesktopInhibitor() {
  return std::make_unique<dbus::LogindInhibitor>();
}

#else

bool HaveBus() {
  return false;
}

DriverConnection::PoolFactory BusFactory(std::string*) {
  return nullptr;
}

std::unique_ptr<TransferInhibitor> DesktopInhibitor() {
  return nullptr;
}

#endif

}  // namespace tavra::loader::cli
