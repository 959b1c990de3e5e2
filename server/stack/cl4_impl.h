#pragma once
// Internals of the transport layer CL4 (see cl4.h for the contract). Only CL4's own sources
// include this header.
//
// Tables, each under its own lock:
//   client table      20 entries; the entry number is the client's transport number
//   connection table  10 connection records
//   transaction table 20 transaction records (requests from clients, PDU 0x70)
//   answer table      20 answer records (requests from the controller waiting for a client)
// Functions named ...Locked expect the caller to hold the lock of the table they touch.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "server/stack/cl2.h"
#include "server/stack/cl4.h"
#include "server/stack/l2_types.h"
#include "server/stack/l4_indication.h"
#include "server/stack/l4_number_pool.h"
#include "server/stack/l4_pdu.h"
#include "shared/sync_event.h"

namespace tavra::stack {

struct L4ClientEntry {
  bool used = false;
  std::int32_t key = 0;
};

// A client's request to a controller entity, from 0x70 sent until its confirm.
struct L4TransactionRecord {
  bool used = false;
  std::int32_t ownerKey = 0;
  std::int32_t requestId = 0;  // P_RequestId
  std::int32_t cookie = 0;
  bool busyPending = false;  // 0x60 received: send again when the back-off has run out
  std::int32_t l4BudgetInitial = 0;
  std::int32_t l4BudgetRemaining = 0;
  std::int32_t l4BackoffInitial = 0;  // ticks
  std::int32_t l4BackoffRemaining = 0;
  std::int32_t l2Budget = 0;
  std::int32_t l2BackoffTime = 0;  // ms
  std::uint8_t requestNumber = 0;
  std::uint8_t destination = 0;  // P_RxId + 0x20
  std::vector<std::uint8_t> data;
};

// A request from the controller (0x70) waiting for the client's Data_Response.
struct L4AnswerRecord {
  bool used = false;
  std::int32_t ownerKey = 0;
  std::int32_t responseId = 0;  // P_ResponseId, from the cookie counter
  std::uint8_t pduType = 0x70;
  std::uint8_t controllerRequestNumber = 0;
  std::int32_t answerTimer = 0;  // ticks
};

struct L4ConnectionRecord {
  bool used = false;
  std::int32_t ownerKey = 0;
  std::uint8_t localNumber = 0;  // P_ConnectionId
  std::uint8_t peer = 0;         // destination byte until accepted, then the controller's number
  bool requestOutstanding = false;
  std::uint8_t outstandingType = 0;  // 0xF0 connect or 0xB0 connection data
  std::int32_t requestId = 0;        // P_RequestId of Connect_Request
  std::int32_t cookie = 0;
  std::vector<std::uint8_t> lastRequestData;
  bool busyPending = false;
  std::int32_t l4BudgetInitial = 0;
  std::int32_t l4BudgetRemaining = 0;
  std::int32_t l4BackoffInitial = 0;  // ticks
  std::int32_t l4BackoffRemaining = 0;
  std::int32_t l2Budget = 0;
  std::int32_t l2BackoffTime = 0;  // ms
  bool incomingPending = false;
  std::uint8_t incomingType = 0;  // 0x90 or 0xB0
  std::int32_t answerTimer = 0;   // ticks
  bool disconnectPending = false;
  std::vector<std::uint8_t> disconnectData;

  [[nodiscard]] bool ConnectOutstanding() const {
    return requestOutstanding && outstandingType == static_cast<std::uint8_t>(0xF0);
  }
};

class CL4Impl {
 public:
  CL4Impl(std::unique_ptr<ISerialPort> serialPort, PortTable& portTable);
  ~CL4Impl();
  CL4Impl(const CL4Impl&) = delete;
  CL4Impl& operator=(const CL4Impl&) = delete;

  Result Start(int portNumber, L4Route route);
  Result AddClient(std::int32_t& key);
  Result RemoveClient(std::int32_t key);
  bool IsLinkUp() const;
  Result Management(std::int32_t key, std::int32_t command, ManagementOutput& out);

  Result Datagram(std::int32_t key,
                  std::int32_t rxId,
                  std::int32_t length,
                  const std::uint8_t* data,
                  const L4Backoff& backoff,
                  std::int32_t requestId);
  Result TransactionRequest(std::int32_t key,
                            std::int32_t rxId,
                            std::int32_t length,
                            const std::uint8_t* data,
                            const L4Backoff& backoff,
                            std::int32_t requestId);
  Result DataResponse(std::int32_t key,
                      std::int32_t responseId,
                      std::int32_t length,
                      const std::uint8_t* data,
                      const L4Backoff& backoff);

  Result ConnectRequest(std::int32_t key,
                        std::int32_t requestId,
                        std::int32_t rxId,
                        std::int32_t length,
                        const std::uint8_t* data,
                        const L4Backoff& backoff);
  Result DisconnectRequest(std::int32_t key,
                           std::int32_t connectionId,
                           std::int32_t length,
                           const std::uint8_t* data,
                           const L4Backoff& backoff);
  Result ConnectionDataRequest(std::int32_t key,
                               std::int32_t connectionId,
                               std::int32_t length,
                               const std::uint8_t* data,
                               const L4Backoff& backoff);
  // Disconnect response (0x80 to a pending 0x90) and connection data response (0xA0 to a
  // pending 0xB0).
  Result ConnectionResponse(std::uint8_t answerType,
                            std::int32_t key,
                            std::int32_t connectionId,
                            std::int32_t length,
                            const std::uint8_t* data,
                            const L4Backoff& backoff);

  int OpenTransactions() const;
  int OpenConnections() const;
  int PendingAnswers() const;
  int RegisteredClients() const;
  const CL2* LinkLayer() const { return m_cl2.get(); }

 private:
  // --- checks and helpers (cl4.cpp) ---
  Result StoredErrorIfNotStarted() const;
  bool IsRegisteredClient(std::int32_t key) const;
  // Not started, key, length, and (checkL4) the L4 back-off values, in this order.
  Result CommonChecks(std::int32_t key,
                      std::int32_t length,
                      const std::uint8_t* data,
                      const L4Backoff& backoff,
                      bool checkL4) const;
  // Sends one PDU to the controller's transport (address 0x21) as a job of CL4's own key.
  Result SendPdu(L4PduType type,
                 std::uint8_t number,
                 std::uint8_t extra,
                 std::span<const std::uint8_t> data,
                 std::int32_t cookie,
                 std::int32_t l2Budget,
                 std::int32_t l2BackoffTime);
  // Short PDUs with no client behind them (0x00, 0x10, 0x20, 0x60): cookie 0, the server's
  // default L2 values.
  void SendShortAnswer(L4PduType type, std::uint8_t number);
  void Emit(std::int32_t clientId,
            L4Kind kind,
            std::int32_t a,
            std::int32_t b,
            std::int32_t c,
            std::span<const std::uint8_t> data = {});

  // --- threads (cl4_threads.cpp) ---
  void DispatcherLoop();
  void TimerLoop();
  void HandleMessage(const L2Message& message);
  void HandleClientMessage(const L2Message& message);
  void HandleLinkLost();
  void HandleTransmitResult(std::int32_t code, std::int32_t cookie);
  void HandlePdu(const L4Pdu& pdu);

  // --- transactions (cl4_transactions.cpp) ---
  Result SendTransactionLocked(L4TransactionRecord& record);
  void FreeTransactionLocked(L4TransactionRecord& record);
  void HandleTransactionPdu(const L4Pdu& pdu);
  void HandleControllerRequest(const L4Pdu& pdu);
  void TickTransactions();
  void TickAnswers();

  // --- connections (cl4_connections.cpp) ---
  Result SendConnectionRequestLocked(L4ConnectionRecord& record);
  void FreeConnectionLocked(L4ConnectionRecord& record);
  // Ends a connection that failed: a connect still outstanding gets Connect_Confirm with the
  // reason, an open connection Disconnected_Indication with it. Then frees it.
  void EndConnectionLocked(L4ConnectionRecord& record, std::int32_t reason);
  L4ConnectionRecord* FindConnectionLocked(std::uint8_t localNumber);
  L4ConnectionRecord* FindClientConnectionLocked(std::int32_t key, std::int32_t connectionId);
  void HandleConnectionPdu(const L4Pdu& pdu);
  void TickConnectionBackoff();
  void TickIncomingRequests();

  // Fields in construction order; m_inbound outlives m_cl2, which appends to it.
  PortTable& m_portTable;
  std::unique_ptr<ISerialPort> m_serialPort;  // until Start hands it to CL2
  L2MessageQueue m_inbound;
  Event m_inboundSignal{Event::Mode::AutoReset};
  Event m_stop{Event::Mode::ManualReset};
  std::unique_ptr<CL2> m_cl2;
  std::atomic<bool> m_startAttempted{false};
  std::atomic<bool> m_started{false};
  std::atomic<Result> m_storedError;
  const std::int32_t m_responseTicks;
  std::atomic<std::int32_t> m_ownKey{0};
  L4Route m_route;  // set by Start before the threads run; never changed afterwards

  mutable std::mutex m_clientMutex;
  std::array<L4ClientEntry, CL4::kClients> m_clients{};
  mutable std::mutex m_connectionMutex;
  std::array<L4ConnectionRecord, CL4::kConnections> m_connections{};
  mutable std::mutex m_transactionMutex;
  std::array<L4TransactionRecord, CL4::kTransactions> m_transactions{};
  mutable std::mutex m_answerMutex;
  std::array<L4AnswerRecord, CL4::kAnswerRecords> m_answers{};

  L4NumberPool m_connectionNumbers;
  L4NumberPool m_requestNumbers;

  std::thread m_dispatcher;
  std::thread m_timer;
};

// Ticks of 100 ms for a time in ms (integer division).
[[nodiscard]] constexpr std::int32_t ToTicks(std::int32_t ms) {
  return ms / 100;
}

// The confirm result for a send that CL2 refused when the transport layer retried on its own
// (a back-off resend): no link, or another failure.
[[nodiscard]] constexpr std::int32_t ResendFailureResult(Result sendResult) {
  return sendResult == kLinkDown ? kConfirmNoConnection : kConfirmUnknownError;
}

}  // namespace tavra::stack
