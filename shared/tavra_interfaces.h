#pragma once
// The three interfaces between TavraLink and its clients: ITavraPool (the controller object of a
// COM port), ITavra (register as a client, send requests) and ITavraCallback (implemented by
// the client; the server calls it with confirms and indications). Methods are listed in slot
// order; parameter names are the interface's own.
//
// Types: `long` is std::int32_t, `byte` is std::uint8_t. Every method returns a result code of
// shared/result_codes.h; all failure codes have bit 31 clear, so callers compare with 0.
//
// Ownership: a data buffer passed in a call (P_DataLength bytes at P_Data) belongs to the caller
// and is copied by the callee before the call returns. A buffer passed to a callback belongs to
// the server and is valid only during the call; P_Data is never null, also when P_DataLength
// is 0. The data block of Management_Request is an owning buffer handed to the caller.
// Objects are shared through std::shared_ptr; the server keeps one reference to a registered
// client's callback object until Client_Remove or until the controller object ends.
//
// Threads: ITavraPool and ITavra may be called from any thread, several calls at a time, also
// from inside a callback. Callbacks of one client come from one server thread, one at a time,
// in the order in which the events occurred; callbacks of different clients run in parallel.

#include <cstdint>
#include <memory>
#include <vector>

#include "shared/result_codes.h"

namespace tavra {

class ITavraCallback {
 public:
  ITavraCallback() = default;
  virtual ~ITavraCallback() = default;
  ITavraCallback(const ITavraCallback&) = delete;
  ITavraCallback& operator=(const ITavraCallback&) = delete;

  // The server ignores the results of all callback methods.

  // 3: the controller opens a connection (the server produces none).
  virtual HRESULT Connect_Indication(std::int32_t P_TxId,
                                     std::int32_t P_ConnectionId,
                                     std::int32_t P_DataLength,
                                     const std::uint8_t* P_Data) = 0;
  // 4: a Connect_Request is completed; P_ConnectionId is valid when P_ConfirmResult is 0.
  virtual HRESULT Connect_Confirm(std::int32_t P_RequestId,
                                  std::int32_t P_ConnectionId,
                                  std::int32_t P_ConfirmResult,
                                  std::int32_t P_DataLength,
                                  const std::uint8_t* P_Data) = 0;
  // 5: the controller asks to close a connection; answer with Disconnect_Response.
  virtual HRESULT Disconnect_Indication(std::int32_t P_ConnectionId,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data) = 0;
  // 6: a connection is gone without a disconnect exchange; P_Reason is a result code.
  virtual HRESULT Disconnected_Indication(std::int32_t P_ConnectionId, std::int32_t P_Reason) = 0;
  // 7: a Disconnect_Request is completed.
  virtual HRESULT Disconnect_Confirm(std::int32_t P_ConnectionId,
                                     std::int32_t P_DataLength,
                                     const std::uint8_t* P_Data) = 0;
  // 8: the controller sends data on a connection; answer with ConnectionData_Response.
  virtual HRESULT ConnectionData_Indication(std::int32_t P_ConnectionId,
                                            std::int32_t P_DataLength,
                                            const std::uint8_t* P_Data) = 0;
  // 9: a ConnectionData_Request is completed.
  virtual HRESULT ConnectionData_Confirm(std::int32_t P_ConnectionId,
                                         std::int32_t P_DataLength,
                                         const std::uint8_t* P_Data) = 0;
  // 10: the controller sent data to this client. With P_L7ResponseRequired 1 it is a request to
  // answer with Data_Response quoting P_ResponseId, and P_TxId is the controller's request
  // number; with 0 it is a datagram, P_ResponseId is 0 and P_TxId the sender's number.
  virtual HRESULT Data_Indication(std::int32_t P_TxId,
                                  std::int32_t P_DataLength,
                                  const std::uint8_t* P_Data,
                                  std::uint8_t P_L7ResponseRequired,
                                  std::int32_t P_ResponseId) = 0;
  // 11: a Data_Request is completed; with an answer required the data is the answer.
  virtual HRESULT Data_Confirm(std::int32_t P_RequestId,
                               std::int32_t P_ConfirmResult,
                               std::int32_t P_DataLength,
                               const std::uint8_t* P_Data) = 0;
  // 12: the link state changed, or the client asked with STATUS_INDICATION or CONNECT_BOOTCODE.
  // P_Type STATUS_ONLINE with P_Subtype 1 and the 6 identity bytes, or STATUS_NO_CONNECTION
  // with P_Subtype 0 and no data.
  virtual HRESULT Management_Indication(std::int32_t P_Type,
                                        std::int32_t P_Subtype,
                                        std::int32_t P_DataLength,
                                        const std::uint8_t* P_Data) = 0;
};

class ITavra {
 public:
  ITavra() = default;
  virtual ~ITavra() = default;
  ITavra(const ITavra&) = delete;
  ITavra& operator=(const ITavra&) = delete;

  // 3: registers the caller and writes its client id. A null P_Callback gives
  // CommandFailed_ClientNotRegistered.
  [[nodiscard]] virtual HRESULT Client_Add(std::shared_ptr<ITavraCallback> P_Callback,
                                           std::int32_t& P_ClientId) = 0;
  // 4: unregisters the client.
  [[nodiscard]] virtual HRESULT Client_Remove(std::int32_t P_ClientId) = 0;
  // 5: sends P_DataLength bytes to the controller entity P_RxId; with P_L7ResponseRequired 1
  // the controller must answer. Completed by Data_Confirm carrying P_RequestId.
  [[nodiscard]] virtual HRESULT Data_Request(std::int32_t P_ClientId,
                                             std::int32_t P_RxId,
                                             std::int32_t P_DataLength,
                                             const std::uint8_t* P_Data,
                                             std::uint8_t P_L7ResponseRequired,
                                             std::int32_t P_RequestId) = 0;
  // 6: answers a Data_Indication that had P_L7ResponseRequired set.
  [[nodiscard]] virtual HRESULT Data_Response(std::int32_t P_ClientId,
                                              std::int32_t P_ResponseId,
                                              std::int32_t P_DataLength,
                                              const std::uint8_t* P_Data) = 0;
  // 7: opens a connection to the controller entity P_RxId; completed by Connect_Confirm.
  [[nodiscard]] virtual HRESULT Connect_Request(std::int32_t P_ClientId,
                                                std::int32_t P_RequestId,
                                                std::int32_t P_RxId,
                                                std::int32_t P_DataLength,
                                                const std::uint8_t* P_Data) = 0;
  // 8: executes a management command synchronously. On success P_Data holds exactly
  // P_DataSize bytes (empty when P_DataSize is 0). An unknown command or an unregistered
  // client leaves every output untouched.
  [[nodiscard]] virtual HRESULT Management_Request(std::int32_t P_ClientId,
                                                   std::int32_t P_Command,
                                                   std::int32_t& P_Result,
                                                   std::int32_t& P_DataType,
                                                   std::int32_t& P_DataSize,
                                                   std::vector<std::uint8_t>& P_Data) = 0;
  // 9: answer to a Connect_Indication; the server accepts no incoming connections.
  [[nodiscard]] virtual HRESULT Connect_Response(std::int32_t P_ClientId,
                                                 std::int32_t P_ConnectionId,
                                                 std::uint8_t P_Accept,
                                                 std::int32_t P_DataLength,
                                                 const std::uint8_t* P_Data) = 0;
  // 10: sets this client's back-off values (stored unchecked; checked when a request uses them).
  [[nodiscard]] virtual HRESULT Management_SetupBackoff(std::int32_t P_ClientId,
                                                        std::int32_t P_L4_BackoffRetries,
                                                        std::int32_t P_L4_BackoffTime,
                                                        std::int32_t P_L2_BackoffRetries,
                                                        std::int32_t P_L2_BackoffTime) = 0;
  // 11: closes a connection; completed by Disconnect_Confirm.
  [[nodiscard]] virtual HRESULT Disconnect_Request(std::int32_t P_ClientId,
                                                   std::int32_t P_ConnectionId,
                                                   std::int32_t P_DataLength,
                                                   const std::uint8_t* P_Data) = 0;
  // 12: answers a Disconnect_Indication.
  [[nodiscard]] virtual HRESULT Disconnect_Response(std::int32_t P_ClientId,
                                                    std::int32_t P_ConnectionId,
                                                    std::int32_t P_DataLength,
                                                    const std::uint8_t* P_Data) = 0;
  // 13: sends data on a connection; completed by ConnectionData_Confirm.
  [[nodiscard]] virtual HRESULT ConnectionData_Request(std::int32_t P_ClientId,
                                                       std::int32_t P_ConnectionId,
                                                       std::int32_t P_DataLength,
                                                       const std::uint8_t* P_Data) = 0;
  // 14: answers a ConnectionData_Indication.
  [[nodiscard]] virtual HRESULT ConnectionData_Response(std::int32_t P_ClientId,
                                                        std::int32_t P_ConnectionId,
                                                        std::int32_t P_DataLength,
                                                        const std::uint8_t* P_Data) = 0;
  // 15: as Client_Add, and writes whether the link to the controller is up (1) or not (0).
  [[nodiscard]] virtual HRESULT Client_AddEx(std::shared_ptr<ITavraCallback> P_Callback,
                                             std::int32_t& P_ClientId,
                                             std::int32_t& P_ConnectionToTavra) = 0;
};

class ITavraPool {
 public:
  ITavraPool() = default;
  virtual ~ITavraPool() = default;
  ITavraPool(const ITavraPool&) = delete;
  ITavraPool& operator=(const ITavraPool&) = delete;

  // 3: the controller object of COM port P_CommId (0..9; outside gives E_FAIL). Every caller
  // naming the same port gets the same object. P_Reserved is not used.
  [[nodiscard]] virtual HRESULT GetTavraInterface(std::int32_t P_CommId,
                                                  std::int32_t P_Reserved,
                                                  std::shared_ptr<ITavra>& P_Tavra) = 0;
};

}  // namespace tavra
