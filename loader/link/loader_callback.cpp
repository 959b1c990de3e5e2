#include "loader/link/loader_callback.h"

namespace tavra::loader {

HRESULT LoaderCallback::Connect_Indication(std::int32_t,
                                           std::int32_t,
                                           std::int32_t,
                                           const std::uint8_t*) {
  return E_NOTIMPL;
}

HRESULT LoaderCallback::Connect_Confirm(
    std::int32_t, std::int32_t, std::int32_t, std::int32_t, const std::uint8_t*) {
  return S_OK;
}

HRESULT LoaderCallback::Disconnect_Indication(std::int32_t, std::int32_t, const std::uint8_t*) {
  return S_OK;
}

HRESULT LoaderCallback::Disconnected_Indication(std::int32_t, std::int32_t) {
  return S_OK;
}

HRESULT LoaderCallback::Disconnect_Confirm(std::int32_t, std::int32_t, const std::uint8_t*) {
  return S_OK;
}

HRESULT LoaderCallback::ConnectionData_Indication(std::int32_t, std::int32_t, const std::uint8_t*) {
  return S_OK;
}

HRESULT LoaderCallback::ConnectionData_Confirm(std::int32_t, std::int32_t, const std::uint8_t*) {
  return S_OK;
}

HRESULT LoaderCallback::Data_Indication(std::int32_t,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data,
                                        std::uint8_t,
                                        std::int32_t) {
  m_state->OnDataIndication(P_DataLength, P_Data);
  return S_OK;
}

HRESULT LoaderCallback::Data_Confirm(std::int32_t,
                                     std::int32_t,
                                     std::int32_t,
                                     const std::uint8_t*) {
  // Whatever the confirm result says: the reply (or its absence) decides.
  m_state->OnDataConfirm();
  return E_NOTIMPL;
}

HRESULT LoaderCallback::Management_Indication(std::int32_t P_Type,
                                              std::int32_t,
                                              std::int32_t P_DataLength,
                                              const std::uint8_t* P_Data) {
  m_state->OnManagementIndication(P_Type, P_DataLength, P_Data);
  return S_OK;
}

}  // namespace tavra::loader
