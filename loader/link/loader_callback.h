#pragma once
// LoaderCallback: the loader's ITavraCallback. It stores what the server reports in the shared
// LinkState (latches, receive buffers, COM_Status) and returns at once; it never touches the
// user interface. The count of AddRef/Release stands for the component object's reference
// count in the debug log; the object's memory is held by std::shared_ptr (the server's
// reference among them), so DriverConnection can tell whether it outlived its release.
//
// Threads: the callback methods run on the proxy's callback thread, one at a time; AddRef and
// Release on the procedure thread. Lock: LinkLock inside LinkState for every state change.

#include <atomic>
#include <cstdint>
#include <memory>

#include "loader/link/link_state.h"
#include "shared/tavra_interfaces.h"

namespace tavra::loader {

class LoaderCallback final : public ITavraCallback {
 public:
  explicit LoaderCallback(std::shared_ptr<LinkState> state) : m_state(std::move(state)) {}

  std::uint32_t AddRef() { return ++m_count; }
  std::uint32_t Release() { return m_count == 0 ? 0 : --m_count; }
  [[nodiscard]] std::uint32_t Count() const { return m_count; }

  HRESULT Connect_Indication(std::int32_t P_TxId,
                             std::int32_t P_ConnectionId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data) override;
  HRESULT Connect_Confirm(std::int32_t P_RequestId,
                          std::int32_t P_ConnectionId,
                          std::int32_t P_ConfirmResult,
                          std::int32_t P_DataLength,
                          const std::uint8_t* P_Data) override;
  HRESULT Disconnect_Indication(std::int32_t P_ConnectionId,
                                std::int32_t P_DataLength,
                                const std::uint8_t* P_Data) override;
  HRESULT Disconnected_Indication(std::int32_t P_ConnectionId, std::int32_t P_Reason) override;
  HRESULT Disconnect_Confirm(std::int32_t P_ConnectionId,
                             std::int32_t P_DataLength,
                             const std::uint8_t* P_Data) override;
  HRESULT ConnectionData_Indication(std::int32_t P_ConnectionId,
                                    std::int32_t P_DataLength,
                                    const std::uint8_t* P_Data) override;
  HRESULT ConnectionData_Confirm(std::int32_t P_ConnectionId,
                                 std::int32_t P_DataLength,
                                 const std::uint8_t* P_Data) override;
  HRESULT Data_Indication(std::int32_t P_TxId,
                          std::int32_t P_DataLength,
                          const std::uint8_t* P_Data,
                          std::uint8_t P_L7ResponseRequired,
                          std::int32_t P_ResponseId) override;
  HRESULT Data_Confirm(std::int32_t P_RequestId,
                       std::int32_t P_ConfirmResult,
                       std::int32_t P_DataLength,
                       const std::uint8_t* P_Data) override;
  HRESULT Management_Indication(std::int32_t P_Type,
                                std::int32_t P_Subtype,
                                std::int32_t P_DataLength,
                                const std::uint8_t* P_Data) override;

 private:
  const std::shared_ptr<LinkState> m_state;
  std::atomic<std::uint32_t> m_count{0};
};

}  // namespace tavra::loader
