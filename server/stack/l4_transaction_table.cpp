// The transaction table: 0x70 out, 0x50 / 0x00 / 0x60 back, back-off resends, confirms.

#include "server/stack/l4_transaction_table.h"

#include <algorithm>
#include <new>
#include <utility>

#include "server/stack/l4_codes.h"
#include "server/stack/l4_cookie.h"

namespace tavra::stack {

Result L4TransactionTable::Open(std::int32_t key,
                                std::int32_t rxId,
                                std::span<const std::uint8_t> data,
                                const L4Backoff& backoff,
                                std::int32_t requestId) {
  std::lock_guard lock(m_mutex);
  L4TransactionRecord* record = FreeRecord();
  if (record == nullptr) {
    return kL4NoTransaction;
  }
  const auto number = m_numbers.Take();
  if (!number) {
    return kL4NoTransaction;
  }
  try {
    record->data.assign(data.begin(), data.end());
  } catch (const std::bad_alloc&) {
    m_numbers.Release(*number);
    return kL4NoMemory;
  }
  record->used = true;
  record->ownerKey = key;
  record->requestId = requestId;
  record->cookie = NextL4Cookie();
  record->retry.Load(backoff);
  record->requestNumber = *number;
  record->destination = static_cast<std::uint8_t>(rxId + kL4DestinationOffset);
  const Result sent = Send(*record);
  if (sent != kOk) {
    Free(*record);
  }
  return sent;
}

void L4TransactionTable::OnPdu(const L4Pdu& pdu) {
  std::lock_guard lock(m_mutex);
  for (L4TransactionRecord& record : m_records) {
    if (!record.used || record.requestNumber != pdu.number) {
      continue;
    }
    switch (pdu.type) {
      case L4PduType::TransactionAnswer: Confirm(record, kConfirmOk, pdu.handedOn); break;
      case L4PduType::TransactionRefused: Confirm(record, kConfirmRejected, pdu.handedOn); break;
      case L4PduType::TransactionBusy:
        if (!record.retry.TakeBusy()) {
          Confirm(record, kConfirmControllerBusy, pdu.handedOn);
        }
        break;
      default: break;
    }
    return;  // request numbers are unique among used records
  }
}

void L4TransactionTable::OnTransmitFailure(std::int32_t result, std::int32_t cookie) {
  std::lock_guard lock(m_mutex);
  for (L4TransactionRecord& record : m_records) {
    if (record.used && record.cookie == cookie) {
      Confirm(record, result);
    }
  }
}

void L4TransactionTable::OnLinkLost() {
  std::lock_guard lock(m_mutex);
  for (L4TransactionRecord& record : m_records) {
    if (record.used) {
      // Freed before its confirm goes out: the client then sees no open transaction left.
      const L4TransactionRecord ended = std::move(record);
      Free(record);
      m_outlet.Emit(ended.ownerKey, L4Kind::DataConfirm, ended.requestId, kConfirmNoConnection,
                    ended.RxId(), {});
    }
  }
}

void L4TransactionTable::RemoveClient(std::int32_t key) {
  std::lock_guard lock(m_mutex);
  for (L4TransactionRecord& record : m_records) {
    if (record.used && record.ownerKey == key) {
      Free(record);
    }
  }
}

void L4TransactionTable::Tick() {
  std::lock_guard lock(m_mutex);
  for (L4TransactionRecord& record : m_records) {
    if (!record.used || !record.retry.waiting || !record.retry.CountDown()) {
      continue;
    }
    if (const Result sent = Send(record); sent != kOk) {
      // No transmit result will come for a send CL2 refused: confirm now.
      Confirm(record, ResendFailureResult(sent));
    }
  }
}

int L4TransactionTable::Count() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(std::count_if(m_records.begin(), m_records.end(),
                                        [](const L4TransactionRecord& r) { return r.used; }));
}

L4TransactionRecord* L4TransactionTable::FreeRecord() {
  for (L4TransactionRecord& record : m_records) {
    if (!record.used) {
      return &record;
    }
  }
  return nullptr;
}

Result L4TransactionTable::Send(L4TransactionRecord& record) {
  const Result sent = m_outlet.SendPdu(L4PduType::TransactionRequest, record.requestNumber,
                                       record.destination, record.data, record.cookie,
                                       record.retry.l2Budget, record.retry.l2BackoffTime);
  record.retry.Rearm();
  return sent;
}

void L4TransactionTable::Free(L4TransactionRecord& record) {
  m_numbers.Release(record.requestNumber);
  record = L4TransactionRecord{};
}

void L4TransactionTable::Confirm(L4TransactionRecord& record,
                                 std::int32_t result,
                                 std::span<const std::uint8_t> data) {
  m_outlet.Emit(record.ownerKey, L4Kind::DataConfirm, record.requestId, result, record.RxId(),
                data);
  Free(record);
}

}  // namespace tavra::stack
