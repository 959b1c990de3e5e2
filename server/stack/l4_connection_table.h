#pragma once
// Connections opened by clients (0xF0): connection data both ways (0xB0 / 0xA0), disconnect
// both ways (0x90 / 0x80), aborts (0x30) and refusals, with the connection numbers they carry.
// One table per CL4Impl, which owns it; client threads request and answer, CL4's dispatcher
// hands on the PDUs and transmit results, CL4's timer ticks. The connection lock (see
// l4_outlet.h) is taken after the client lock, before the transaction lock and the
// connection-number pool's lock.

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "server/stack/cl4.h"
#include "server/stack/l4_busy_retry.h"
#include "server/stack/l4_number_pool.h"
#include "server/stack/l4_outlet.h"
#include "server/stack/l4_pdu.h"

namespace tavra::stack {

struct L4ConnectionRecord {
  bool used = false;
  std::int32_t ownerKey = 0;
  std::uint8_t localNumber = 0;  // P_ConnectionId
  std::uint8_t peer = 0;         // destination byte until accepted, then the controller's number
  bool requestOutstanding = false;
  L4PduType outstandingType = L4PduType::ConnectRequest;  // or ConnectionDataRequest
  std::int32_t requestId = 0;                             // P_RequestId of Connect_Request
  std::int32_t cookie = 0;
  std::vector<std::uint8_t> lastRequestData;
  L4BusyRetry retry;
  bool incomingPending = false;
  L4PduType incomingType = L4PduType::DisconnectRequest;  // or ConnectionDataRequest
  std::int32_t answerTimer = 0;                           // ticks
  bool disconnectPending = false;
  std::vector<std::uint8_t> disconnectData;

  [[nodiscard]] bool ConnectOutstanding() const {
    return requestOutstanding && outstandingType == L4PduType::ConnectRequest;
  }
};

class L4ConnectionTable {
 public:
  // responseTicks: how long a client has for its answer to 0x90 or 0xB0.
  L4ConnectionTable(IL4Outlet& outlet, std::int32_t responseTicks)
      : m_outlet(outlet), m_responseTicks(responseTicks) {}
  L4ConnectionTable(const L4ConnectionTable&) = delete;
  L4ConnectionTable& operator=(const L4ConnectionTable&) = delete;

  // Connect_Request: takes a record and a connection number and sends 0xF0 to rxId + 0x20.
  // kL4NoConnection (no record or number left), kL4NoMemory, or CL2's refusal (freed again).
  [[nodiscard]] Result Connect(std::int32_t key,
                               std::int32_t requestId,
                               std::int32_t rxId,
                               std::span<const std::uint8_t> data,
                               const L4Backoff& backoff);
  // ConnectionData_Request: 0xB0 on the client's connection. kL4UnknownConnection,
  // kL4RequestPending (a connect or 0xB0 still outstanding), kL4NoMemory, or CL2's refusal.
  [[nodiscard]] Result SendData(std::int32_t key,
                                std::int32_t connectionId,
                                std::span<const std::uint8_t> data,
                                const L4Backoff& backoff);
  // Disconnect_Request: 0x90 with the connection's cookie and L2 values. kL4UnknownConnection,
  // kL4RequestPending (one already pending), kL4NoMemory, or CL2's refusal.
  [[nodiscard]] Result Disconnect(std::int32_t key,
                                  std::int32_t connectionId,
                                  std::span<const std::uint8_t> data);
  // Disconnect_Response (answerType 0x80 to a pending 0x90, which ends the connection) or
  // ConnectionData_Response (0xA0 to a pending 0xB0). kL4UnknownConnection,
  // kL4NothingToAnswer, or CL2's refusal.
  [[nodiscard]] Result Answer(L4PduType answerType,
                              std::int32_t key,
                              std::int32_t connectionId,
                              std::span<const std::uint8_t> data,
                              const L4Backoff& backoff);

  // Every connection PDU from the controller (all types but 0x00, 0x50, 0x60, 0x70).
  void OnPdu(const L4Pdu& pdu);
  // CL2 gave up on a PDU with this cookie: an outstanding connect is confirmed with `result`,
  // an open connection ends with 0x2200000D.
  void OnTransmitFailure(std::int32_t result, std::int32_t cookie);
  // The link is down: every connection ends with 0x22000002.
  void OnLinkLost();
  // The client is gone: 0x30 for each of its connections, freed without telling the client.
  void RemoveClient(std::int32_t key);
  // One 100-ms tick: requests waiting after 0xE0 count down and go again at 0, then
  // unanswered 0x90 / 0xB0 count down and end their connection at 0.
  void Tick();
  [[nodiscard]] int Count() const;

 private:
  L4ConnectionRecord* FreeRecord();
  L4ConnectionRecord* Find(std::uint8_t localNumber);
  L4ConnectionRecord* FindClient(std::int32_t key, std::int32_t connectionId);
  Result SendRequest(L4ConnectionRecord& record);
  void Free(L4ConnectionRecord& record);
  // Ends a connection that failed: a connect still outstanding gets Connect_Confirm with the
  // reason, an open connection Disconnected_Indication with it. Then frees it.
  void End(L4ConnectionRecord& record, std::int32_t reason);
  void OnAbort(const L4Pdu& pdu);
  void OnAccepted(L4ConnectionRecord& record, const L4Pdu& pdu);
  void OnRefused(L4ConnectionRecord& record, const L4Pdu& pdu);
  void OnDataAnswer(L4ConnectionRecord& record, const L4Pdu& pdu);
  void OnIncomingRequest(L4ConnectionRecord& record, const L4Pdu& pdu);
  void OnDisconnectAnswer(L4ConnectionRecord& record, const L4Pdu& pdu);
  void TickBackoffs();
  void TickIncomingRequests();

  IL4Outlet& m_outlet;
  const std::int32_t m_responseTicks;
  mutable std::mutex m_mutex;
  std::array<L4ConnectionRecord, CL4::kConnections> m_records{};
  L4NumberPool m_numbers;
};

}  // namespace tavra::stack
