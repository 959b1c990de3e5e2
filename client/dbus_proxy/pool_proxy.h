#pragma once
// PoolProxy: the pool (ITavraPool plus the pool's further methods) over the bus. Holds the
// connection's pool reference, released by the destructor (Release); hands out TavraProxy
// objects that share its bus session.
//
// Ownership: shares the bus session with the ITavra proxies it made. Threads: any,
// concurrently; no state of its own.

#include <memory>

#include "client/dbus_proxy/bus_session.h"
#include "client/dbus_proxy/tavra_dbus_proxy.h"

namespace tavra::dbus {

class PoolProxy final : public TavraPoolProxy {
 public:
  explicit PoolProxy(std::shared_ptr<BusSession> session);
  ~PoolProxy() override;

  HRESULT GetTavraInterface(std::int32_t P_CommId,
                            std::int32_t P_Reserved,
                            std::shared_ptr<ITavra>& P_Tavra) override;
  HRESULT CreateTavra(std::shared_ptr<ITavra>& P_Tavra) override;
  HRESULT GetPortTable(std::vector<PortStatus>& ports) override;
  [[nodiscard]] std::string ServerName() const override;
  [[nodiscard]] bool ServerGone() const override;
  void SetServerGoneHandler(std::function<void()> handler) override;

 private:
  // The controller object named in a GetTavraInterface / CreateTavra reply.
  HRESULT TakeObject(const char* method,
                     const QList<QVariant>& arguments,
                     std::shared_ptr<ITavra>& P_Tavra);

  std::shared_ptr<BusSession> m_session;
};

}  // namespace tavra::dbus
