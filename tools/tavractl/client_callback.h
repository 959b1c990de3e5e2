#pragma once
// ClientCallback: tavractl's callback object. It remembers the link state the server reports
// (Management_Indication) and the Data_Confirm of each request id, so that a command can wait
// for them with a time-out, and, for `watch`, hands every callback as one text line to a
// printer.
//
// Threads: the proxy's bus thread calls the ITavraCallback methods; the command's thread waits.
// One mutex guards the state; the printer is called with no lock held.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "shared/controller_identity.h"
#include "shared/tavra_interfaces.h"

namespace tavra::tavractl {

struct DataConfirm {
  HRESULT result = S_OK;
  std::vector<std::uint8_t> data;
};

class ClientCallback final : public ITavraCallback {
 public:
  using Printer = std::function<void(const std::string& line)>;
  explicit ClientCallback(Printer printer = nullptr) : m_printer(std::move(printer)) {}

  // Waits until the server has reported the link up; its identity, or nothing on time-out.
  std::optional<ControllerIdentity> WaitForLink(std::chrono::milliseconds timeout);
  // Waits for the Data_Confirm of `requestId`.
  std::optional<DataConfirm> WaitForConfirm(std::int32_t requestId,
                                            std::chrono::milliseconds timeout);

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
  void Print(const std::string& line);

  Printer m_printer;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::optional<ControllerIdentity> m_link;  // set while the server reports the link up
  std::map<std::int32_t, DataConfirm> m_confirms;
};

}  // namespace tavra::tavractl
