#include "tools/tavractl/client_callback.h"

#include <span>

#include "tools/tavractl/tavractl_text.h"

namespace tavra::tavractl {
namespace {

std::span<const std::uint8_t> Data(std::int32_t length, const std::uint8_t* data) {
  if (length <= 0 || data == nullptr) {
    return {};
  }
  return {data, static_cast<std::size_t>(length)};
}

std::string DataField(std::int32_t length, const std::uint8_t* data) {
  return " P_Data=" + HexBytes(Data(length, data));
}

}  // namespace

std::optional<ControllerIdentity> ClientCallback::WaitForLink(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  m_cv.wait_for(lock, timeout, [&] { return m_link.has_value(); });
  return m_link;
}

std::optional<DataConfirm> ClientCallback::WaitForConfirm(std::int32_t requestId,
                                                          std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  if (!m_cv.wait_for(lock, timeout, [&] { return m_confirms.count(requestId) != 0; })) {
    return std::nullopt;
  }
  return m_confirms[requestId];
}

void ClientCallback::Print(const std::string& line) {
  if (m_printer) {
    m_printer(line);
  }
}

HRESULT ClientCallback::Connect_Indication(std::int32_t P_TxId,
                                           std::int32_t P_ConnectionId,
                                           std::int32_t P_DataLength,
                                           const std::uint8_t* P_Data) {
  Print("Connect_Indication P_TxId=" + std::to_string(P_TxId) +
        " P_ConnectionId=" + std::to_string(P_ConnectionId) + DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::Connect_Confirm(std::int32_t P_RequestId,
                                        std::int32_t P_ConnectionId,
                                        std::int32_t P_ConfirmResult,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data) {
  Print("Connect_Confirm P_RequestId=" + std::to_string(P_RequestId) +
        " P_ConnectionId=" + std::to_string(P_ConnectionId) +
        " P_ConfirmResult=" + CodeName(P_ConfirmResult) + DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::Disconnect_Indication(std::int32_t P_ConnectionId,
                                              std::int32_t P_DataLength,
                                              const std::uint8_t* P_Data) {
  Print("Disconnect_Indication P_ConnectionId=" + std::to_string(P_ConnectionId) +
        DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::Disconnected_Indication(std::int32_t P_ConnectionId,
                                                std::int32_t P_Reason) {
  Print("Disconnected_Indication P_ConnectionId=" + std::to_string(P_ConnectionId) +
        " P_Reason=" + CodeName(P_Reason));
  return S_OK;
}

HRESULT ClientCallback::Disconnect_Confirm(std::int32_t P_ConnectionId,
                                           std::int32_t P_DataLength,
                                           const std::uint8_t* P_Data) {
  Print("Disconnect_Confirm P_ConnectionId=" + std::to_string(P_ConnectionId) +
        DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::ConnectionData_Indication(std::int32_t P_ConnectionId,
                                                  std::int32_t P_DataLength,
                                                  const std::uint8_t* P_Data) {
  Print("ConnectionData_Indication P_ConnectionId=" + std::to_string(P_ConnectionId) +
        DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::ConnectionData_Confirm(std::int32_t P_ConnectionId,
                                               std::int32_t P_DataLength,
                                               const std::uint8_t* P_Data) {
  Print("ConnectionData_Confirm P_ConnectionId=" + std::to_string(P_ConnectionId) +
        DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::Data_Indication(std::int32_t P_TxId,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data,
                                        std::uint8_t P_L7ResponseRequired,
                                        std::int32_t P_ResponseId) {
  Print("Data_Indication P_TxId=" + std::to_string(P_TxId) +
        " P_L7ResponseRequired=" + std::to_string(P_L7ResponseRequired) +
        " P_ResponseId=" + std::to_string(P_ResponseId) + DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::Data_Confirm(std::int32_t P_RequestId,
                                     std::int32_t P_ConfirmResult,
                                     std::int32_t P_DataLength,
                                     const std::uint8_t* P_Data) {
  {
    std::lock_guard lock(m_mutex);
    const std::span<const std::uint8_t> data = Data(P_DataLength, P_Data);
    m_confirms[P_RequestId] = DataConfirm{P_ConfirmResult, {data.begin(), data.end()}};
  }
  m_cv.notify_all();
  Print("Data_Confirm P_RequestId=" + std::to_string(P_RequestId) +
        " P_ConfirmResult=" + CodeName(P_ConfirmResult) + DataField(P_DataLength, P_Data));
  return S_OK;
}

HRESULT ClientCallback::Management_Indication(std::int32_t P_Type,
                                              std::int32_t P_Subtype,
                                              std::int32_t P_DataLength,
                                              const std::uint8_t* P_Data) {
  const std::span<const std::uint8_t> data = Data(P_DataLength, P_Data);
  std::string line = "Management_Indication P_Type=" + StatusName(P_Type) +
                     " P_Subtype=" + std::to_string(P_Subtype) + DataField(P_DataLength, P_Data);
  {
    std::lock_guard lock(m_mutex);
    if (P_Type == STATUS_ONLINE && data.size() == 6) {
      ControllerIdentity identity;
      std::copy(data.begin(), data.end(), identity.bytes.begin());
      m_link = identity;
      line += " (" + ControllerText(identity) + ")";
    } else if (P_Type == STATUS_NO_CONNECTION) {
      m_link.reset();
    }
  }
  m_cv.notify_all();
  Print(line);
  return S_OK;
}

}  // namespace tavra::tavractl
