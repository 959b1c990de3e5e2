// CL4's connections: opened by a client (0xF0), connection data both ways (0xB0/0xA0),
// disconnect both ways (0x90/0x80), aborts (0x30) and refusals (0x10, 0xC0, busy 0xE0).

#include <new>
#include <string_view>

#include "server/stack/cl4_impl.h"
#include "server/stack/debug_trace.h"
#include "server/stack/l4_cookie.h"

namespace tavra::stack {

namespace {

constexpr std::uint8_t kDestinationOffset = 0x20;
constexpr std::string_view kClientHasNotRepliedTrace =
    "CL4::Management() - CDREQ - Client has not replied";

constexpr std::uint8_t TypeByte(L4PduType type) {
  return static_cast<std::uint8_t>(type);
}

}  // namespace

L4ConnectionRecord* CL4Impl::FindConnectionLocked(std::uint8_t localNumber) {
  for (L4ConnectionRecord& record : m_connections) {
    if (record.used && record.localNumber == localNumber) {
      return &record;
    }
  }
  return nullptr;
}

L4ConnectionRecord* CL4Impl::FindClientConnectionLocked(std::int32_t key,
                                                        std::int32_t connectionId) {
  for (L4ConnectionRecord& record : m_connections) {
    if (record.used && record.ownerKey == key && record.localNumber == connectionId) {
      return &record;
    }
  }
  return nullptr;
}

void CL4Impl::FreeConnectionLocked(L4ConnectionRecord& record) {
  m_connectionNumbers.Release(record.localNumber);
  record = L4ConnectionRecord{};
}

void CL4Impl::EndConnectionLocked(L4ConnectionRecord& record, std::int32_t reason) {
  if (record.ConnectOutstanding()) {
    // The client never learned the connection id: complete its Connect_Request instead.
    Emit(record.ownerKey, L4Kind::ConnectConfirm, record.requestId, reason, 0);
  } else {
    Emit(record.ownerKey, L4Kind::DisconnectedIndication, record.localNumber, reason, 0);
  }
  FreeConnectionLocked(record);
}

Result CL4Impl::SendConnectionRequestLocked(L4ConnectionRecord& record) {
  Result sent = kOk;
  if (record.outstandingType == TypeByte(L4PduType::ConnectRequest)) {
    sent = SendPdu(L4PduType::ConnectRequest, record.localNumber, record.peer,
                   record.lastRequestData, record.cookie, record.l2Budget, record.l2BackoffTime);
  } else {
    sent = SendPdu(L4PduType::ConnectionDataRequest, record.peer, 0, record.lastRequestData,
                   record.cookie, record.l2Budget, record.l2BackoffTime);
  }
  record.l4BackoffRemaining = record.l4BackoffInitial;
  return sent;
}

Result CL4Impl::ConnectRequest(std::int32_t key,
                               std::int32_t requestId,
                               std::int32_t rxId,
                               std::int32_t length,
                               const std::uint8_t* data,
                               const L4Backoff& backoff) {
  if (const Result r = CommonChecks(key, length, data, backoff, true); r != kOk) {
    return r;
  }
  if (rxId < 0 || rxId > kL4MaxRxId) {
    return kL4InvalidRxId;
  }
  std::lock_guard lock(m_connectionMutex);
  L4ConnectionRecord* record = nullptr;
  for (L4ConnectionRecord& candidate : m_connections) {
    if (!candidate.used) {
      record = &candidate;
      break;
    }
  }
  if (record == nullptr) {
    return kL4NoConnection;
  }
  const auto number = m_connectionNumbers.Take();
  if (!number) {
    return kL4NoConnection;
  }
  try {
    record->lastRequestData.assign(data, data + length);
  } catch (const std::bad_alloc&) {
    m_connectionNumbers.Release(*number);
    return kL4NoMemory;
  }
  record->used = true;
  record->ownerKey = key;
  record->localNumber = *number;
  record->peer = static_cast<std::uint8_t>(rxId + kDestinationOffset);
  record->requestId = requestId;
  record->cookie = NextL4Cookie();
  record->l4BudgetInitial = backoff.l4Retries;
  record->l4BudgetRemaining = backoff.l4Retries;
  record->l4BackoffInitial = ToTicks(backoff.l4TimeMs);
  record->l4BackoffRemaining = record->l4BackoffInitial;
  record->l2Budget = backoff.l2Retries;
  record->l2BackoffTime = backoff.l2TimeMs;
  record->requestOutstanding = true;
  record->outstandingType = TypeByte(L4PduType::ConnectRequest);
  record->busyPending = false;
  record->incomingPending = false;
  record->disconnectPending = false;
  const Result sent = SendConnectionRequestLocked(*record);
  if (sent != kOk) {
    FreeConnectionLocked(*record);
  }
  return sent;
}

Result CL4Impl::ConnectionDataRequest(std::int32_t key,
                                      std::int32_t connectionId,
                                      std::int32_t length,
                                      const std::uint8_t* data,
                                      const L4Backoff& backoff) {
  if (const Result r = CommonChecks(key, length, data, backoff, true); r != kOk) {
    return r;
  }
  std::lock_guard lock(m_connectionMutex);
  L4ConnectionRecord* record = FindClientConnectionLocked(key, connectionId);
  if (record == nullptr) {
    return kL4UnknownConnection;
  }
  if (record->requestOutstanding) {
    return kL4RequestPending;
  }
  try {
    record->lastRequestData.assign(data, data + length);
  } catch (const std::bad_alloc&) {
    return kL4NoMemory;
  }
  record->cookie = NextL4Cookie();
  record->l4BudgetInitial = backoff.l4Retries;
  record->l4BudgetRemaining = backoff.l4Retries;
  record->l4BackoffInitial = ToTicks(backoff.l4TimeMs);
  record->l4BackoffRemaining = record->l4BackoffInitial;
  record->l2Budget = backoff.l2Retries;
  record->l2BackoffTime = backoff.l2TimeMs;
  record->requestOutstanding = true;
  record->outstandingType = TypeByte(L4PduType::ConnectionDataRequest);
  record->busyPending = false;
  const Result sent = SendConnectionRequestLocked(*record);
  if (sent != kOk) {
    record->requestOutstanding = false;
  }
  return sent;
}

Result CL4Impl::DisconnectRequest(std::int32_t key,
                                  std::int32_t connectionId,
                                  std::int32_t length,
                                  const std::uint8_t* data,
                                  const L4Backoff& backoff) {
  if (const Result r = CommonChecks(key, length, data, backoff, true); r != kOk) {
    return r;
  }
  std::lock_guard lock(m_connectionMutex);
  L4ConnectionRecord* record = FindClientConnectionLocked(key, connectionId);
  if (record == nullptr) {
    return kL4UnknownConnection;
  }
  if (record->disconnectPending) {
    return kL4RequestPending;
  }
  try {
    record->disconnectData.assign(data, data + length);
  } catch (const std::bad_alloc&) {
    return kL4NoMemory;
  }
  record->disconnectPending = true;
  // Sent with the connection's cookie: a transmit failure ends the connection.
  const Result sent = SendPdu(L4PduType::DisconnectRequest, record->peer, 0, record->disconnectData,
                              record->cookie, record->l2Budget, record->l2BackoffTime);
  if (sent != kOk) {
    record->disconnectPending = false;
  }
  return sent;
}

Result CL4Impl::ConnectionResponse(std::uint8_t answerType,
                                   std::int32_t key,
                                   std::int32_t connectionId,
                                   std::int32_t length,
                                   const std::uint8_t* data,
                                   const L4Backoff& backoff) {
  if (const Result r = CommonChecks(key, length, data, backoff, false); r != kOk) {
    return r;
  }
  const bool isDisconnect = answerType == TypeByte(L4PduType::DisconnectAnswer);
  const std::uint8_t neededIncoming = isDisconnect ? TypeByte(L4PduType::DisconnectRequest)
                                                   : TypeByte(L4PduType::ConnectionDataRequest);
  std::lock_guard lock(m_connectionMutex);
  L4ConnectionRecord* record = FindClientConnectionLocked(key, connectionId);
  if (record == nullptr) {
    return kL4UnknownConnection;
  }
  if (!record->incomingPending || record->incomingType != neededIncoming) {
    return kL4NothingToAnswer;
  }
  const Result sent = SendPdu(
      isDisconnect ? L4PduType::DisconnectAnswer : L4PduType::ConnectionDataAnswer, record->peer, 0,
      std::span<const std::uint8_t>(data, data + length), 0, backoff.l2Retries, backoff.l2TimeMs);
  if (sent == kOk) {
    record->incomingPending = false;
    if (isDisconnect) {
      FreeConnectionLocked(*record);
    }
  }
  return sent;
}

void CL4Impl::HandleConnectionPdu(const L4Pdu& pdu) {
  std::lock_guard lock(m_connectionMutex);
  switch (pdu.type) {
    case L4PduType::ConnectRequest:
      // Connections are opened only by clients.
      SendShortAnswer(L4PduType::ConnectionRefused, pdu.number);
      return;
    case L4PduType::AbortAcknowledged: return;
    case L4PduType::AbortConnection: {
      SendShortAnswer(L4PduType::AbortAcknowledged, pdu.number);
      for (L4ConnectionRecord& record : m_connections) {
        if (record.used && record.peer == pdu.number) {
          EndConnectionLocked(record, kConfirmConnectionLost);
          return;
        }
      }
      return;
    }
    default: break;
  }

  L4ConnectionRecord* record = FindConnectionLocked(pdu.number);
  if (record == nullptr) {
    if (pdu.type == L4PduType::ConnectionDataRequest || pdu.type == L4PduType::DisconnectRequest) {
      SendShortAnswer(L4PduType::AbortAcknowledged, pdu.number);
    }
    return;
  }
  const std::int32_t localNumber = record->localNumber;
  switch (pdu.type) {
    case L4PduType::ConnectionAccepted:
      if (record->ConnectOutstanding()) {
        record->peer = pdu.extra;
        record->requestOutstanding = false;
        record->busyPending = false;
        Emit(record->ownerKey, L4Kind::ConnectConfirm, record->requestId, kConfirmOk, localNumber,
             pdu.handedOn);
      }
      break;
    case L4PduType::ConnectionRefused:
    case L4PduType::ConnectionRefusedOther:
    case L4PduType::ConnectionBusy:
      if (!record->ConnectOutstanding()) {
        EndConnectionLocked(*record, kConfirmConnectionLost);
      } else if (pdu.type == L4PduType::ConnectionBusy && record->l4BudgetRemaining > 0) {
        --record->l4BudgetRemaining;
        record->busyPending = true;
      } else {
        const std::int32_t result = pdu.type == L4PduType::ConnectionRefused ? kConfirmRejected
                                    : pdu.type == L4PduType::ConnectionBusy
                                        ? kConfirmControllerBusy
                                        : kConfirmConnectRefused;
        Emit(record->ownerKey, L4Kind::ConnectConfirm, record->requestId, result, 0, pdu.handedOn);
        FreeConnectionLocked(*record);
      }
      break;
    case L4PduType::ConnectionDataAnswer:
      if (record->requestOutstanding &&
          record->outstandingType == TypeByte(L4PduType::ConnectionDataRequest)) {
        record->requestOutstanding = false;
        record->busyPending = false;
        Emit(record->ownerKey, L4Kind::ConnectionDataConfirm, localNumber, 0, 0, pdu.handedOn);
      }
      break;
    case L4PduType::ConnectionDataRequest:
    case L4PduType::DisconnectRequest:
      record->incomingPending = true;
      record->incomingType = TypeByte(pdu.type);
      record->answerTimer = m_responseTicks;
      Emit(record->ownerKey,
           pdu.type == L4PduType::DisconnectRequest ? L4Kind::DisconnectIndication
                                                    : L4Kind::ConnectionDataIndication,
           localNumber, 0, 0, pdu.handedOn);
      break;
    case L4PduType::DisconnectAnswer:
      if (record->disconnectPending) {
        Emit(record->ownerKey, L4Kind::DisconnectConfirm, localNumber, 0, 0, pdu.handedOn);
        FreeConnectionLocked(*record);
      } else {
        EndConnectionLocked(*record, kConfirmConnectionLost);
      }
      break;
    default: break;
  }
}

void CL4Impl::TickConnectionBackoff() {
  std::lock_guard lock(m_connectionMutex);
  for (L4ConnectionRecord& record : m_connections) {
    if (!record.used || !record.requestOutstanding || !record.busyPending) {
      continue;
    }
    if (record.l4BackoffRemaining > 0) {
      --record.l4BackoffRemaining;
    }
    if (record.l4BackoffRemaining == 0) {
      record.busyPending = false;
      const Result sent = SendConnectionRequestLocked(record);
      if (sent != kOk) {
        // No transmit result will come for a send CL2 refused: end it now.
        EndConnectionLocked(record, record.ConnectOutstanding() ? ResendFailureResult(sent)
                                                                : kConfirmConnectionLost);
      }
    }
  }
}

void CL4Impl::TickIncomingRequests() {
  std::lock_guard lock(m_connectionMutex);
  for (L4ConnectionRecord& record : m_connections) {
    if (!record.used || !record.incomingPending) {
      continue;
    }
    if (--record.answerTimer > 0) {
      continue;
    }
    if (record.incomingType == TypeByte(L4PduType::DisconnectRequest)) {
      (void)SendPdu(L4PduType::AbortAcknowledged, record.peer, 0, {}, 0, record.l2Budget,
                    record.l2BackoffTime);
    } else {
      DebugTrace(kClientHasNotRepliedTrace);
      (void)SendPdu(L4PduType::AbortConnection, record.peer, 0, {}, 0, record.l2Budget,
                    record.l2BackoffTime);
    }
    EndConnectionLocked(record, kConfirmConnectionLost);
  }
}

}  // namespace tavra::stack
