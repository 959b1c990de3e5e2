#include "loader/link/dbus/bus_pool_factory.h"

namespace tavra::dbus {

loader::DriverConnection::PoolFactory BusPoolFactory(const ProxyOptions& options,
                                                     std::string* reason) {
  return [options, reason](std::uint32_t, std::shared_ptr<ITavraPool>& pool) {
    std::shared_ptr<TavraPoolProxy> proxy;
    std::string error;
    const HRESULT hr = ConnectTavraPool(options, proxy, &error);
    if (reason != nullptr) {
      *reason = error;
    }
    if (hr == S_OK) {
      pool = std::move(proxy);
    }
    return hr;
  };
}

}  // namespace tavra::dbus
