// CL4's datagrams and transactions: requests of clients (0x70 out, 0x50/0x00/0x60 back) and
// requests of the controller (0x70 in, answered by the client's Data_Response or by 0x60).

#include <new>

#include "server/stack/cl4_impl.h"
#include "server/stack/frame_codec.h"
#include "server/stack/l4_cookie.h"

namespace tavra::stack {

namespace {

constexpr std::uint8_t kDestinationOffset = 0x20;

bool IsValidRxId(std::int32_t rxId) {
  return rxId >= 0 && rxId <= kL4MaxRxId;
}

}  // namespace

Result CL4Impl::Datagram(std::int32_t key,
                         std::int32_t rxId,
                         std::int32_t length,
                         const std::uint8_t* data,
                         const L4Backoff& backoff,
                         std::int32_t requestId) {
  if (const Result r = StoredErrorIfNotStarted(); r != kOk) {
    return r;
  }
  // CL2 checks key, link, length and L2 values; a length that cannot describe a buffer, or one
  // beyond what a frame carries, is refused before anything is copied.
  if (length < 0 || (length > 0 && data == nullptr)) {
    return kL4DataTooLong;
  }
  if (length > static_cast<std::int32_t>(kMaxFrameData)) {
    return kDataTooLong;
  }
  std::unique_ptr<L2Job> job;
  try {
    job = std::make_unique<L2Job>();
    job->data.assign(data, data + length);
  } catch (const std::bad_alloc&) {
    return kL4NoMemory;
  }
  job->ownerKey = key;
  job->cookie = requestId;
  job->busyRetryBudget = backoff.l2Retries;
  job->remainingBudget = backoff.l2Retries;
  job->backoffTime = backoff.l2TimeMs;
  job->destination = rxId;
  return m_cl2->Send(std::move(job));
}

Result CL4Impl::TransactionRequest(std::int32_t key,
                                   std::int32_t rxId,
                                   std::int32_t length,
                                   const std::uint8_t* data,
                                   const L4Backoff& backoff,
                                   std::int32_t requestId) {
  if (const Result r = CommonChecks(key, length, data, backoff, true); r != kOk) {
    return r;
  }
  if (!IsValidRxId(rxId)) {
    return kL4InvalidRxId;
  }
  std::lock_guard lock(m_transactionMutex);
  L4TransactionRecord* record = nullptr;
  for (L4TransactionRecord& candidate : m_transactions) {
    if (!candidate.used) {
      record = &candidate;
      break;
    }
  }
  if (record == nullptr) {
    return kL4NoTransaction;
  }
  const auto number = m_requestNumbers.Take();
  if (!number) {
    return kL4NoTransaction;
  }
  try {
    record->data.assign(data, data + length);
  } catch (const std::bad_alloc&) {
    m_requestNumbers.Release(*number);
    return kL4NoMemory;
  }
  record->used = true;
  record->ownerKey = key;
  record->requestId = requestId;
  record->cookie = NextL4Cookie();
  record->busyPending = false;
  record->l4BudgetInitial = backoff.l4Retries;
  record->l4BudgetRemaining = backoff.l4Retries;
  record->l4BackoffInitial = ToTicks(backoff.l4TimeMs);
  record->l4BackoffRemaining = record->l4BackoffInitial;
  record->l2Budget = backoff.l2Retries;
  record->l2BackoffTime = backoff.l2TimeMs;
  record->requestNumber = *number;
  record->destination = static_cast<std::uint8_t>(rxId + kDestinationOffset);
  const Result sent = SendTransactionLocked(*record);
  if (sent != kOk) {
    FreeTransactionLocked(*record);
  }
  return sent;
}

Result CL4Impl::SendTransactionLocked(L4TransactionRecord& record) {
  const Result sent =
      SendPdu(L4PduType::TransactionRequest, record.requestNumber, record.destination, record.data,
              record.cookie, record.l2Budget, record.l2BackoffTime);
  record.l4BackoffRemaining = record.l4BackoffInitial;
  return sent;
}

void CL4Impl::FreeTransactionLocked(L4TransactionRecord& record) {
  m_requestNumbers.Release(record.requestNumber);
  record = L4TransactionRecord{};
}

void CL4Impl::HandleTransactionPdu(const L4Pdu& pdu) {
  std::lock_guard lock(m_transactionMutex);
  for (L4TransactionRecord& record : m_transactions) {
    if (!record.used || record.requestNumber != pdu.number) {
      continue;
    }
    const std::int32_t rxId = record.destination - kDestinationOffset;
    switch (pdu.type) {
      case L4PduType::TransactionAnswer:
        Emit(record.ownerKey, L4Kind::DataConfirm, record.requestId, kConfirmOk, rxId,
             pdu.handedOn);
        FreeTransactionLocked(record);
        break;
      case L4PduType::TransactionRefused:
        Emit(record.ownerKey, L4Kind::DataConfirm, record.requestId, kConfirmRejected, rxId,
             pdu.handedOn);
        FreeTransactionLocked(record);
        break;
      case L4PduType::TransactionBusy:
        if (record.l4BudgetRemaining > 0) {
          --record.l4BudgetRemaining;
          record.busyPending = true;
        } else {
          Emit(record.ownerKey, L4Kind::DataConfirm, record.requestId, kConfirmControllerBusy, rxId,
               pdu.handedOn);
          FreeTransactionLocked(record);
        }
        break;
      default: break;
    }
    return;  // request numbers are unique among used records
  }
}

void CL4Impl::HandleControllerRequest(const L4Pdu& pdu) {
  // The destination names a transport number (client table entry).
  const int transportNumber = static_cast<int>(pdu.extra) - kDestinationOffset;
  std::int32_t clientKey = 0;
  bool found = false;
  {
    std::lock_guard lock(m_clientMutex);
    if (transportNumber >= 0 && transportNumber < CL4::kClients &&
        m_clients[static_cast<std::size_t>(transportNumber)].used) {
      clientKey = m_clients[static_cast<std::size_t>(transportNumber)].key;
      found = true;
    }
  }
  if (!found) {
    SendShortAnswer(L4PduType::TransactionRefused, pdu.number);
    return;
  }
  std::lock_guard lock(m_answerMutex);
  for (L4AnswerRecord& record : m_answers) {
    if (record.used) {
      continue;
    }
    record.used = true;
    record.ownerKey = clientKey;
    record.responseId = NextL4Cookie();
    record.pduType = static_cast<std::uint8_t>(L4PduType::TransactionRequest);
    record.controllerRequestNumber = pdu.number;
    record.answerTimer = m_responseTicks;
    Emit(clientKey, L4Kind::DataIndication, record.responseId, pdu.number, 1, pdu.handedOn);
    return;
  }
  // All answer records are waiting: a response id that matches nothing would make the
  // client's answer fail, so the controller is told to send again later instead.
  SendShortAnswer(L4PduType::TransactionBusy, pdu.number);
}

Result CL4Impl::DataResponse(std::int32_t key,
                             std::int32_t responseId,
                             std::int32_t length,
                             const std::uint8_t* data,
                             const L4Backoff& backoff) {
  if (const Result r = CommonChecks(key, length, data, backoff, false); r != kOk) {
    return r;
  }
  std::lock_guard lock(m_answerMutex);
  for (L4AnswerRecord& record : m_answers) {
    if (record.used && record.ownerKey == key && record.responseId == responseId) {
      const Result sent = SendPdu(L4PduType::TransactionAnswer, record.controllerRequestNumber, 0,
                                  std::span<const std::uint8_t>(data, data + length), 0,
                                  backoff.l2Retries, backoff.l2TimeMs);
      if (sent == kOk) {
        record = L4AnswerRecord{};
      }
      return sent;
    }
  }
  return kL4NothingToAnswer;
}

void CL4Impl::TickTransactions() {
  std::lock_guard lock(m_transactionMutex);
  for (L4TransactionRecord& record : m_transactions) {
    if (!record.used || !record.busyPending) {
      continue;
    }
    if (record.l4BackoffRemaining > 0) {
      --record.l4BackoffRemaining;
    }
    if (record.l4BackoffRemaining == 0) {
      record.busyPending = false;
      const Result sent = SendTransactionLocked(record);
      if (sent != kOk) {
        // No transmit result will come for a send CL2 refused: confirm now.
        Emit(record.ownerKey, L4Kind::DataConfirm, record.requestId, ResendFailureResult(sent),
             record.destination - kDestinationOffset);
        FreeTransactionLocked(record);
      }
    }
  }
}

void CL4Impl::TickAnswers() {
  std::lock_guard lock(m_answerMutex);
  for (L4AnswerRecord& record : m_answers) {
    if (!record.used) {
      continue;
    }
    if (--record.answerTimer <= 0) {
      SendShortAnswer(L4PduType::TransactionBusy, record.controllerRequestNumber);
      record = L4AnswerRecord{};
    }
  }
}

}  // namespace tavra::stack
