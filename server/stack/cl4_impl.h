#pragma once
// Internals of the transport layer CL4 (see cl4.h for the contract). Only CL4's own sources
// include this header.
//
// CL4Impl keeps the client table (20 entries; the entry number is the client's transport
// number) under its client lock and owns the three other tables, each with its own lock:
// connections (l4_connection_table.h), transactions (l4_transaction_table.h) and answers
// (l4_answer_table.h). CL4 checks each request here, then hands it to its table; the
// dispatcher hands CL2's messages to the tables, the timer ticks them. The tables send and
// emit through CL4Impl as their IL4Outlet.
//
// Lock order: client lock, then connection lock, then transaction lock (only client removal
// nests them); the answer lock is taken alone. Any table lock comes before a number pool's
// lock and CL2's locks.

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
#include "server/stack/l4_answer_table.h"
#include "server/stack/l4_connection_table.h"
#include "server/stack/l4_indication.h"
#include "server/stack/l4_outlet.h"
#include "server/stack/l4_pdu.h"
#include "server/stack/l4_transaction_table.h"
#include "shared/sync_event.h"

namespace tavra::stack {

struct L4ClientEntry {
  bool used = false;
  std::int32_t key = 0;
};

class CL4Impl final : private IL4Outlet {
 public:
  CL4Impl(std::unique_ptr<ISerialPort> serialPort, PortTable& portTable);
  ~CL4Impl() override;
  CL4Impl(const CL4Impl&) = delete;
  CL4Impl& operator=(const CL4Impl&) = delete;

  Result Start(int portNumber, L4Route route);
  Result AddClient(std::int32_t& key);
  Result RemoveClient(std::int32_t key);
  bool IsLinkUp() const;
  Result Management(std::int32_t key, std::int32_t command, ManagementOutput& out);

  // A client's datagram: checked for "started" and a usable length, then queued at CL2.
  Result Datagram(std::int32_t key,
                  std::int32_t rxId,
                  std::int32_t length,
                  const std::uint8_t* data,
                  const L4Backoff& backoff,
                  std::int32_t requestId);
  // The checks of every other request: not started, key, length, and (checkL4) the L4
  // back-off values, in this order.
  Result CommonChecks(std::int32_t key,
                      std::int32_t length,
                      const std::uint8_t* data,
                      const L4Backoff& backoff,
                      bool checkL4) const;
  // The tables that serve the requests once they have passed the checks.
  L4ConnectionTable& Connections() { return m_connections; }
  L4TransactionTable& Transactions() { return m_transactions; }
  L4AnswerTable& Answers() { return m_answers; }

  int RegisteredClients() const;
  const CL2* LinkLayer() const { return m_cl2.get(); }

 private:
  // --- checks and CL2 jobs (cl4.cpp) ---
  Result StoredErrorIfNotStarted() const;
  bool IsRegisteredClient(std::int32_t key) const;
  // Queues `job` (nothing: kL4NoMemory) with its owner, destination, cookie and L2 values.
  Result Queue(std::unique_ptr<L2Job> job,
               std::int32_t ownerKey,
               std::int32_t destination,
               std::int32_t cookie,
               std::int32_t l2Budget,
               std::int32_t l2BackoffTime);

  // --- IL4Outlet (cl4.cpp) ---
  Result SendPdu(L4PduType type,
                 std::uint8_t number,
                 std::uint8_t extra,
                 std::span<const std::uint8_t> data,
                 std::int32_t cookie,
                 std::int32_t l2Budget,
                 std::int32_t l2BackoffTime) override;
  void SendShortAnswer(L4PduType type, std::uint8_t number) override;
  void Emit(std::int32_t clientId,
            L4Kind kind,
            std::int32_t a,
            std::int32_t b,
            std::int32_t c,
            std::span<const std::uint8_t> data) override;

  // --- threads (cl4_threads.cpp) ---
  void DispatcherLoop();
  void TimerLoop();
  void HandleMessage(const L2Message& message);
  void HandleClientMessage(const L2Message& message);
  void HandleLinkLost();
  void HandleTransmitResult(std::int32_t code, std::int32_t cookie);
  void HandlePdu(const L4Pdu& pdu);

  // A 0x70 of the controller: to the answer table when its transport number names a client.
  void HandleControllerRequest(const L4Pdu& pdu);

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
  L4ConnectionTable m_connections{*this, m_responseTicks};
  L4TransactionTable m_transactions{*this};
  L4AnswerTable m_answers{*this, m_responseTicks};

  std::thread m_dispatcher;
  std::thread m_timer;
};

}  // namespace tavra::stack
