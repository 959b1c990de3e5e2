// The connection table: requests and answers of clients, PDUs of the controller, back-off
// resends and the supervision of the clients' answers.

#include "server/stack/l4_connection_table.h"

#include <algorithm>
#include <new>
#include <string_view>

#include "server/stack/debug_trace.h"
#include "server/stack/l4_codes.h"
#include "server/stack/l4_cookie.h"

namespace tavra::stack {

namespace {

constexpr std::string_view kClientHasNotRepliedTrace =
    "CL4::Management() - CDREQ - Client has not replied";

}  // namespace

Result L4ConnectionTable::Connect(std::int32_t key,
                                  std::int32_t requestId,
                                  std::int32_t rxId,
                                  std::span<const std::uint8_t> data,
                                  const L4Backoff& backoff) {
  std::lock_guard lock(m_mutex);
  L4ConnectionRecord* record = FreeRecord();
  if (record == nullptr) {
    return kL4NoConnection;
  }
  const auto number = m_numbers.Take();
  if (!number) {
    return kL4NoConnection;
  }
  try {
    record->lastRequestData.assign(data.begin(), data.end());
  } catch (const std::bad_alloc&) {
    m_numbers.Release(*number);
    return kL4NoMemory;
  }
  record->used = true;
  record->ownerKey = key;
  record->localNumber = *number;
  record->peer = static_cast<std::uint8_t>(rxId + kL4DestinationOffset);
  record->requestId = requestId;
  record->cookie = NextL4Cookie();
  record->retry.Load(backoff);
  record->requestOutstanding = true;
  record->outstandingType = L4PduType::ConnectRequest;
  record->incomingPending = false;
  record->disconnectPending = false;
  const Result sent = SendRequest(*record);
  if (sent != kOk) {
    Free(*record);
  }
  return sent;
}

Result L4ConnectionTable::SendData(std::int32_t key,
                                   std::int32_t connectionId,
                                   std::span<const std::uint8_t> data,
                                   const L4Backoff& backoff) {
  std::lock_guard lock(m_mutex);
  L4ConnectionRecord* record = FindClient(key, connectionId);
  if (record == nullptr) {
    return kL4UnknownConnection;
  }
  if (record->requestOutstanding) {
    return kL4RequestPending;
  }
  try {
    record->lastRequestData.assign(data.begin(), data.end());
  } catch (const std::bad_alloc&) {
    return kL4NoMemory;
  }
  record->cookie = NextL4Cookie();
  record->retry.Load(backoff);
  record->requestOutstanding = true;
  record->outstandingType = L4PduType::ConnectionDataRequest;
  const Result sent = SendRequest(*record);
  if (sent != kOk) {
    record->requestOutstanding = false;
  }
  return sent;
}

Result L4ConnectionTable::Disconnect(std::int32_t key,
                                     std::int32_t connectionId,
                                     std::span<const std::uint8_t> data) {
  std::lock_guard lock(m_mutex);
  L4ConnectionRecord* record = FindClient(key, connectionId);
  if (record == nullptr) {
    return kL4UnknownConnection;
  }
  if (record->disconnectPending) {
    return kL4RequestPending;
  }
  try {
    record->disconnectData.assign(data.begin(), data.end());
  } catch (const std::bad_alloc&) {
    return kL4NoMemory;
  }
  record->disconnectPending = true;
  // Sent with the connection's cookie: a transmit failure ends the connection.
  const Result sent =
      m_outlet.SendPdu(L4PduType::DisconnectRequest, record->peer, 0, record->disconnectData,
                       record->cookie, record->retry.l2Budget, record->retry.l2BackoffTime);
  if (sent != kOk) {
    record->disconnectPending = false;
  }
  return sent;
}

Result L4ConnectionTable::Answer(L4PduType answerType,
                                 std::int32_t key,
                                 std::int32_t connectionId,
                                 std::span<const std::uint8_t> data,
                                 const L4Backoff& backoff) {
  const bool isDisconnect = answerType == L4PduType::DisconnectAnswer;
  const L4PduType neededIncoming =
      isDisconnect ? L4PduType::DisconnectRequest : L4PduType::ConnectionDataRequest;
  std::lock_guard lock(m_mutex);
  L4ConnectionRecord* record = FindClient(key, connectionId);
  if (record == nullptr) {
    return kL4UnknownConnection;
  }
  if (!record->incomingPending || record->incomingType != neededIncoming) {
    return kL4NothingToAnswer;
  }
  const Result sent =
      m_outlet.SendPdu(answerType, record->peer, 0, data, 0, backoff.l2Retries, backoff.l2TimeMs);
  if (sent == kOk) {
    record->incomingPending = false;
    if (isDisconnect) {
      Free(*record);
    }
  }
  return sent;
}

void L4ConnectionTable::OnPdu(const L4Pdu& pdu) {
  std::lock_guard lock(m_mutex);
  switch (pdu.type) {
    case L4PduType::ConnectRequest:
      // Connections are opened only by clients.
      m_outlet.SendShortAnswer(L4PduType::ConnectionRefused, pdu.number);
      return;
    case L4PduType::AbortAcknowledged: return;
    case L4PduType::AbortConnection: OnAbort(pdu); return;
    default: break;
  }
  L4ConnectionRecord* record = Find(pdu.number);
  if (record == nullptr) {
    if (pdu.type == L4PduType::ConnectionDataRequest || pdu.type == L4PduType::DisconnectRequest) {
      m_outlet.SendShortAnswer(L4PduType::AbortAcknowledged, pdu.number);
    }
    return;
  }
  switch (pdu.type) {
    case L4PduType::ConnectionAccepted: OnAccepted(*record, pdu); break;
    case L4PduType::ConnectionRefused:
    case L4PduType::ConnectionRefusedOther:
    case L4PduType::ConnectionBusy: OnRefused(*record, pdu); break;
    case L4PduType::ConnectionDataAnswer: OnDataAnswer(*record, pdu); break;
    case L4PduType::ConnectionDataRequest:
    case L4PduType::DisconnectRequest: OnIncomingRequest(*record, pdu); break;
    case L4PduType::DisconnectAnswer: OnDisconnectAnswer(*record, pdu); break;
    default: break;
  }
}

void L4ConnectionTable::OnTransmitFailure(std::int32_t result, std::int32_t cookie) {
  std::lock_guard lock(m_mutex);
  for (L4ConnectionRecord& record : m_records) {
    if (record.used && record.cookie == cookie) {
      // A connect still outstanding is confirmed with the transmit result; a failed
      // connection data or disconnect request ends the connection.
      End(record, record.ConnectOutstanding() ? result : kConfirmConnectionLost);
    }
  }
}

void L4ConnectionTable::OnLinkLost() {
  std::lock_guard lock(m_mutex);
  for (L4ConnectionRecord& record : m_records) {
    if (record.used) {
      End(record, kConfirmNoConnection);
    }
  }
}

void L4ConnectionTable::RemoveClient(std::int32_t key) {
  std::lock_guard lock(m_mutex);
  for (L4ConnectionRecord& record : m_records) {
    if (record.used && record.ownerKey == key) {
      // The controller learns that the connection is gone; the client is not told.
      (void)m_outlet.SendPdu(L4PduType::AbortConnection, record.localNumber, 0, {}, 0,
                             record.retry.l2Budget, record.retry.l2BackoffTime);
      Free(record);
    }
  }
}

void L4ConnectionTable::Tick() {
  std::lock_guard lock(m_mutex);
  TickBackoffs();
  TickIncomingRequests();
}

int L4ConnectionTable::Count() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(std::count_if(m_records.begin(), m_records.end(),
                                        [](const L4ConnectionRecord& r) { return r.used; }));
}

L4ConnectionRecord* L4ConnectionTable::FreeRecord() {
  for (L4ConnectionRecord& record : m_records) {
    if (!record.used) {
      return &record;
    }
  }
  return nullptr;
}

L4ConnectionRecord* L4ConnectionTable::Find(std::uint8_t localNumber) {
  for (L4ConnectionRecord& record : m_records) {
    if (record.used && record.localNumber == localNumber) {
      return &record;
    }
  }
  return nullptr;
}

L4ConnectionRecord* L4ConnectionTable::FindClient(std::int32_t key, std::int32_t connectionId) {
  for (L4ConnectionRecord& record : m_records) {
    if (record.used && record.ownerKey == key && record.localNumber == connectionId) {
      return &record;
    }
  }
  return nullptr;
}

Result L4ConnectionTable::SendRequest(L4ConnectionRecord& record) {
  const bool connect = record.outstandingType == L4PduType::ConnectRequest;
  // 0xF0 carries our number and the destination, 0xB0 the controller's number.
  const Result sent = m_outlet.SendPdu(
      record.outstandingType, connect ? record.localNumber : record.peer, connect ? record.peer : 0,
      record.lastRequestData, record.cookie, record.retry.l2Budget, record.retry.l2BackoffTime);
  record.retry.Rearm();
  return sent;
}

void L4ConnectionTable::Free(L4ConnectionRecord& record) {
  m_numbers.Release(record.localNumber);
  record = L4ConnectionRecord{};
}

void L4ConnectionTable::End(L4ConnectionRecord& record, std::int32_t reason) {
  if (record.ConnectOutstanding()) {
    // The client never learned the connection id: complete its Connect_Request instead.
    m_outlet.Emit(record.ownerKey, L4Kind::ConnectConfirm, record.requestId, reason, 0, {});
  } else {
    m_outlet.Emit(record.ownerKey, L4Kind::DisconnectedIndication, record.localNumber, reason, 0,
                  {});
  }
  Free(record);
}

void L4ConnectionTable::OnAbort(const L4Pdu& pdu) {
  m_outlet.SendShortAnswer(L4PduType::AbortAcknowledged, pdu.number);
  for (L4ConnectionRecord& record : m_records) {
    if (record.used && record.peer == pdu.number) {
      End(record, kConfirmConnectionLost);
      return;
    }
  }
}

void L4ConnectionTable::OnAccepted(L4ConnectionRecord& record, const L4Pdu& pdu) {
  if (!record.ConnectOutstanding()) {
    return;
  }
  record.peer = pdu.extra;
  record.requestOutstanding = false;
  record.retry.waiting = false;
  m_outlet.Emit(record.ownerKey, L4Kind::ConnectConfirm, record.requestId, kConfirmOk,
                record.localNumber, pdu.handedOn);
}

void L4ConnectionTable::OnRefused(L4ConnectionRecord& record, const L4Pdu& pdu) {
  if (!record.ConnectOutstanding()) {
    End(record, kConfirmConnectionLost);
    return;
  }
  if (pdu.type == L4PduType::ConnectionBusy && record.retry.TakeBusy()) {
    return;  // sent again after the back-off
  }
  const std::int32_t result = pdu.type == L4PduType::ConnectionRefused ? kConfirmRejected
                              : pdu.type == L4PduType::ConnectionBusy  ? kConfirmControllerBusy
                                                                       : kConfirmConnectRefused;
  m_outlet.Emit(record.ownerKey, L4Kind::ConnectConfirm, record.requestId, result, 0, pdu.handedOn);
  Free(record);
}

void L4ConnectionTable::OnDataAnswer(L4ConnectionRecord& record, const L4Pdu& pdu) {
  if (!record.requestOutstanding || record.outstandingType != L4PduType::ConnectionDataRequest) {
    return;
  }
  record.requestOutstanding = false;
  record.retry.waiting = false;
  m_outlet.Emit(record.ownerKey, L4Kind::ConnectionDataConfirm, record.localNumber, 0, 0,
                pdu.handedOn);
}

void L4ConnectionTable::OnIncomingRequest(L4ConnectionRecord& record, const L4Pdu& pdu) {
  record.incomingPending = true;
  record.incomingType = pdu.type;
  record.answerTimer = m_responseTicks;
  m_outlet.Emit(record.ownerKey,
                pdu.type == L4PduType::DisconnectRequest ? L4Kind::DisconnectIndication
                                                         : L4Kind::ConnectionDataIndication,
                record.localNumber, 0, 0, pdu.handedOn);
}

void L4ConnectionTable::OnDisconnectAnswer(L4ConnectionRecord& record, const L4Pdu& pdu) {
  if (!record.disconnectPending) {
    End(record, kConfirmConnectionLost);
    return;
  }
  m_outlet.Emit(record.ownerKey, L4Kind::DisconnectConfirm, record.localNumber, 0, 0, pdu.handedOn);
  Free(record);
}

void L4ConnectionTable::TickBackoffs() {
  for (L4ConnectionRecord& record : m_records) {
    if (!record.used || !record.requestOutstanding || !record.retry.waiting ||
        !record.retry.CountDown()) {
      continue;
    }
    if (const Result sent = SendRequest(record); sent != kOk) {
      // No transmit result will come for a send CL2 refused: end it now.
      End(record, record.ConnectOutstanding() ? ResendFailureResult(sent) : kConfirmConnectionLost);
    }
  }
}

void L4ConnectionTable::TickIncomingRequests() {
  for (L4ConnectionRecord& record : m_records) {
    if (!record.used || !record.incomingPending || --record.answerTimer > 0) {
      continue;
    }
    // An unanswered 0x90 is acknowledged with 0x20; an unanswered 0xB0 aborts with 0x30.
    const bool disconnect = record.incomingType == L4PduType::DisconnectRequest;
    if (!disconnect) {
      DebugTrace(kClientHasNotRepliedTrace);
    }
    (void)m_outlet.SendPdu(disconnect ? L4PduType::AbortAcknowledged : L4PduType::AbortConnection,
                           record.peer, 0, {}, 0, record.retry.l2Budget,
                           record.retry.l2BackoffTime);
    End(record, kConfirmConnectionLost);
  }
}

}  // namespace tavra::stack
