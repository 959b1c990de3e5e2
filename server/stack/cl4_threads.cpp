// CL4's dispatcher and timer threads: upward messages from CL2, and the 100-ms timer.

#include <chrono>
#include <new>
#include <utility>

#include "server/stack/cl4_impl.h"
#include "server/stack/l4_codes.h"

namespace tavra::stack {

namespace {

constexpr std::chrono::milliseconds kTick{100};
// Frames from the controller's transport entity (address 0x21) carry sender number 1.
constexpr std::int32_t kControllerTransportSender = 0x01;

}  // namespace

void CL4Impl::DispatcherLoop() {
  for (;;) {
    if (Event::WaitAny({&m_stop, &m_inboundSignal}) == 0) {
      return;
    }
    while (auto message = m_inbound.Pop()) {
      if (m_stop.IsSet()) {
        return;  // the destructor discards what is left
      }
      try {
        HandleMessage(*message);
      } catch (const std::bad_alloc&) {
        // No memory for an indication: this message is lost, the dispatcher goes on.
      }
    }
  }
}

void CL4Impl::TimerLoop() {
  while (!m_stop.Wait(kTick)) {
    try {
      TickTransactions();
      TickAnswers();
      TickConnectionBackoff();
      TickIncomingRequests();
    } catch (const std::bad_alloc&) {
      // Retried on the next tick.
    }
  }
}

void CL4Impl::HandleMessage(const L2Message& message) {
  if (message.ownerKey != m_ownKey.load()) {
    HandleClientMessage(message);
    return;
  }
  switch (message.kind) {
    case kL2KindLinkState:
      if (message.code == kLinkOffline) {
        HandleLinkLost();
      }
      break;
    case kL2KindTransmitResult:
      if (message.code != kTxAccepted) {
        HandleTransmitResult(message.code, message.value);
      }
      break;
    case kL2KindReceivedData:
      if (message.type == kControllerTransportSender) {
        if (const auto pdu = DecodeL4Pdu(message.data)) {
          HandlePdu(*pdu);
        }
      }
      break;
    default: break;
  }
}

void CL4Impl::HandleClientMessage(const L2Message& message) {
  switch (message.kind) {
    case kL2KindLinkState:
      Emit(message.ownerKey, L4Kind::ManagementIndication, message.code, message.value, 0,
           message.data);
      break;
    case kL2KindTransmitResult:
      // The cookie of a datagram is the client's P_RequestId.
      Emit(message.ownerKey, L4Kind::DataConfirm, message.value, MapTransmitResult(message.code),
           0);
      break;
    case kL2KindReceivedData:
      Emit(message.ownerKey, L4Kind::DataIndication, 0, message.type, 0, message.data);
      break;
    default: break;
  }
}

void CL4Impl::HandleLinkLost() {
  // First, so that a client that hears a confirm below finds nothing left to answer either.
  {
    // Requests from the controller are forgotten: a late Data_Response finds nothing.
    std::lock_guard lock(m_answerMutex);
    for (L4AnswerRecord& record : m_answers) {
      record = L4AnswerRecord{};
    }
  }
  {
    std::lock_guard lock(m_connectionMutex);
    for (L4ConnectionRecord& record : m_connections) {
      if (record.used) {
        EndConnectionLocked(record, kConfirmNoConnection);
      }
    }
  }
  {
    std::lock_guard lock(m_transactionMutex);
    for (L4TransactionRecord& record : m_transactions) {
      if (record.used) {
        // Freed before its confirm goes out: the client then sees no open transaction left.
        const L4TransactionRecord ended = std::move(record);
        FreeTransactionLocked(record);
        Emit(ended.ownerKey, L4Kind::DataConfirm, ended.requestId, kConfirmNoConnection,
             ended.destination - 0x20);
      }
    }
  }
}

void CL4Impl::HandleTransmitResult(std::int32_t code, std::int32_t cookie) {
  const std::int32_t result = MapTransmitResult(code);
  {
    std::lock_guard lock(m_connectionMutex);
    for (L4ConnectionRecord& record : m_connections) {
      if (record.used && record.cookie == cookie) {
        // A connect still outstanding is confirmed with the transmit result; a failed
        // connection data or disconnect request ends the connection.
        EndConnectionLocked(record, record.ConnectOutstanding() ? result : kConfirmConnectionLost);
      }
    }
  }
  {
    std::lock_guard lock(m_transactionMutex);
    for (L4TransactionRecord& record : m_transactions) {
      if (record.used && record.cookie == cookie) {
        Emit(record.ownerKey, L4Kind::DataConfirm, record.requestId, result,
             record.destination - 0x20);
        FreeTransactionLocked(record);
      }
    }
  }
}

void CL4Impl::HandlePdu(const L4Pdu& pdu) {
  switch (pdu.type) {
    case L4PduType::TransactionRefused:
    case L4PduType::TransactionAnswer:
    case L4PduType::TransactionBusy: HandleTransactionPdu(pdu); break;
    case L4PduType::TransactionRequest: HandleControllerRequest(pdu); break;
    default: HandleConnectionPdu(pdu); break;
  }
}

}  // namespace tavra::stack
