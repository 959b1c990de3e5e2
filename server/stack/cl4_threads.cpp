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
      m_transactions.Tick();
      m_answers.Tick();
      m_connections.Tick();
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
      Emit(message.ownerKey, L4Kind::DataConfirm, message.value, MapTransmitResult(message.code), 0,
           {});
      break;
    case kL2KindReceivedData:
      Emit(message.ownerKey, L4Kind::DataIndication, 0, message.type, 0, message.data);
      break;
    default: break;
  }
}

void CL4Impl::HandleLinkLost() {
  // Answers first, so that a client that hears a confirm below finds nothing left to answer
  // either.
  m_answers.OnLinkLost();
  m_connections.OnLinkLost();
  m_transactions.OnLinkLost();
}

void CL4Impl::HandleTransmitResult(std::int32_t code, std::int32_t cookie) {
  const std::int32_t result = MapTransmitResult(code);
  m_connections.OnTransmitFailure(result, cookie);
  m_transactions.OnTransmitFailure(result, cookie);
}

void CL4Impl::HandlePdu(const L4Pdu& pdu) {
  switch (pdu.type) {
    case L4PduType::TransactionRefused:
    case L4PduType::TransactionAnswer:
    case L4PduType::TransactionBusy: m_transactions.OnPdu(pdu); break;
    case L4PduType::TransactionRequest: HandleControllerRequest(pdu); break;
    default: m_connections.OnPdu(pdu); break;
  }
}

void CL4Impl::HandleControllerRequest(const L4Pdu& pdu) {
  // The destination names a transport number (client table entry).
  const int transportNumber = static_cast<int>(pdu.extra) - kL4DestinationOffset;
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
  m_answers.Accept(clientKey, pdu);
}

}  // namespace tavra::stack
