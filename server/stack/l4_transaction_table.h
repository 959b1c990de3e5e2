#pragma once
// Clients' requests to a controller entity (PDU 0x70), from the first send until their
// confirm, with the request numbers they carry: one table per CL4Impl, which owns it.
// Client threads open and remove, CL4's dispatcher hands on the PDUs and transmit results,
// CL4's timer ticks. The transaction lock (see l4_outlet.h) is taken after the client and
// connection locks, before the request-number pool's lock.

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

struct L4TransactionRecord {
  bool used = false;
  std::int32_t ownerKey = 0;
  std::int32_t requestId = 0;  // P_RequestId
  std::int32_t cookie = 0;
  L4BusyRetry retry;
  std::uint8_t requestNumber = 0;
  std::uint8_t destination = 0;  // P_RxId + 0x20
  std::vector<std::uint8_t> data;

  [[nodiscard]] std::int32_t RxId() const { return destination - kL4DestinationOffset; }
};

class L4TransactionTable {
 public:
  explicit L4TransactionTable(IL4Outlet& outlet) : m_outlet(outlet) {}
  L4TransactionTable(const L4TransactionTable&) = delete;
  L4TransactionTable& operator=(const L4TransactionTable&) = delete;

  // Takes a record and a request number, keeps the data and sends 0x70 to rxId + 0x20 with a
  // new cookie. kL4NoTransaction (no record or number left), kL4NoMemory, or CL2's refusal
  // (the record is free again).
  [[nodiscard]] Result Open(std::int32_t key,
                            std::int32_t rxId,
                            std::span<const std::uint8_t> data,
                            const L4Backoff& backoff,
                            std::int32_t requestId);
  // 0x50, 0x00 or 0x60 for one of our request numbers: Data_Confirm, or (0x60 with budget
  // left) the back-off.
  void OnPdu(const L4Pdu& pdu);
  // CL2 gave up on the 0x70 with this cookie: Data_Confirm with `result`.
  void OnTransmitFailure(std::int32_t result, std::int32_t cookie);
  // The link is down: every transaction is freed, then confirmed with 0x22000002.
  void OnLinkLost();
  // The client is gone: its transactions are freed without a confirm.
  void RemoveClient(std::int32_t key);
  // One 100-ms tick: transactions waiting after 0x60 count down and go again at 0.
  void Tick();
  [[nodiscard]] int Count() const;

 private:
  L4TransactionRecord* FreeRecord();
  Result Send(L4TransactionRecord& record);
  void Free(L4TransactionRecord& record);
  void Confirm(L4TransactionRecord& record,
               std::int32_t result,
               std::span<const std::uint8_t> data = {});

  IL4Outlet& m_outlet;
  mutable std::mutex m_mutex;
  std::array<L4TransactionRecord, CL4::kTransactions> m_records{};
  L4NumberPool m_numbers;
};

}  // namespace tavra::stack
