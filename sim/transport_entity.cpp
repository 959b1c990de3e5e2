#include "sim/transport_entity.h"

#include <algorithm>

#include "sim/transport_pdu.h"

namespace tavra::sim {

void TransportEntity::SetTransactionPolicy(TransactionPolicy policy,
                                           std::vector<std::uint8_t> answer) {
  m_transactionPolicy = policy;
  m_fixedAnswer = std::move(answer);
}

void TransportEntity::Reset() {
  m_connections.clear();
  m_open.clear();
}

SimConnection* TransportEntity::FindByHost(std::uint8_t hostNumber) {
  auto it = std::find_if(m_connections.begin(), m_connections.end(),
                         [&](const SimConnection& c) { return c.hostNumber == hostNumber; });
  return it == m_connections.end() ? nullptr : &*it;
}

SimConnection* TransportEntity::FindByOwn(std::uint8_t ownNumber) {
  auto it = std::find_if(m_connections.begin(), m_connections.end(),
                         [&](const SimConnection& c) { return c.ownNumber == ownNumber; });
  return it == m_connections.end() ? nullptr : &*it;
}

void TransportEntity::Forget(const SimConnection* connection) {
  std::erase_if(m_connections, [&](const SimConnection& c) { return &c == connection; });
}

std::optional<std::uint8_t> TransportEntity::NewOwnNumber() {
  // Numbers 1..255, the next free one after the last handed out.
  for (int i = 0; i < 255; ++i) {
    m_lastOwnNumber = static_cast<std::uint8_t>(m_lastOwnNumber % 255 + 1);
    if (FindByOwn(m_lastOwnNumber) == nullptr) {
      return m_lastOwnNumber;
    }
  }
  return std::nullopt;
}

bool TransportEntity::TakeBusy() {
  ++m_busyCandidates;
  if (m_busyLeft > 0) {
    --m_busyLeft;
  } else if (m_busyEvery == 0 || m_busyCandidates % static_cast<std::uint32_t>(m_busyEvery) != 0) {
    return false;
  }
  ++m_busyAnswers;
  return true;
}

TransportEntity::PduList TransportEntity::Handle(std::span<const std::uint8_t> bytes) {
  const std::optional<Pdu> decoded = DecodePdu(bytes);
  if (!decoded) {
    return {};
  }
  const Pdu& pdu = *decoded;
  switch (pdu.type) {
    case kPduTransactionRequest: return AnswerTransaction(pdu);
    case kPduConnectRequest: return AnswerConnect(pdu);
    case kPduConnectionDataRequest: return AnswerConnectionData(pdu);
    case kPduDisconnectRequest: return AnswerDisconnect(pdu);
    case kPduAbort: return AnswerAbort(pdu);
    case kPduDisconnectAnswer:
      if (const SimConnection* c = FindByOwn(pdu.number)) {
        Forget(c);
      }
      return {};
    case kPduConnectionDataAnswer:
      if (SimConnection* c = FindByOwn(pdu.number)) {
        c->dataRequestOutstanding = false;
      }
      return {};
    case kPduAbortAck: OnAbortAck(pdu); return {};
    case kPduTransactionAnswer:
    case kPduTransactionRefused:
    case kPduTransactionBusy: std::erase(m_open, pdu.number); return {};
    default:
      // 0x10, 0xC0, 0xD0, 0xE0 answer connect requests, which the controller never sends;
      // 0x40 is not a PDU.
      return {};
  }
}

TransportEntity::PduList TransportEntity::AnswerTransaction(const Pdu& pdu) {
  if (TakeBusy()) {
    return {EncodePdu(kPduTransactionBusy, pdu.number)};
  }
  switch (m_transactionPolicy) {
    case TransactionPolicy::Echo:
      return {EncodePdu(kPduTransactionAnswer, pdu.number, std::nullopt, pdu.data)};
    case TransactionPolicy::Fixed:
      return {EncodePdu(kPduTransactionAnswer, pdu.number, std::nullopt, m_fixedAnswer)};
    case TransactionPolicy::Refuse: return {EncodePdu(kPduTransactionRefused, pdu.number)};
    case TransactionPolicy::Ignore: break;
  }
  return {};
}

TransportEntity::PduList TransportEntity::AnswerConnect(const Pdu& pdu) {
  if (TakeBusy()) {
    return {EncodePdu(kPduConnectionBusy, pdu.number)};
  }
  if (m_connectPolicy == ConnectPolicy::Ignore) {
    return {};
  }
  if (m_connectPolicy == ConnectPolicy::Refuse) {
    return {EncodePdu(kPduConnectionRefused, pdu.number)};
  }
  // A host that opens a number again has forgotten the old connection.
  if (SimConnection* old = FindByHost(pdu.number)) {
    Forget(old);
  }
  std::optional<std::uint8_t> own;
  if (m_connectPolicy == ConnectPolicy::Accept && m_connections.size() < kMaxConnections) {
    own = NewOwnNumber();
  }
  if (!own) {
    return {EncodePdu(kPduConnectionRefusedOther, pdu.number)};
  }
  m_connections.push_back(SimConnection{pdu.number, *own, pdu.extra.value_or(0)});
  return {EncodePdu(kPduConnectionAccepted, pdu.number, *own, pdu.data)};
}

TransportEntity::PduList TransportEntity::AnswerConnectionData(const Pdu& pdu) {
  // N is the host's peer byte: the controller's own number.
  if (const SimConnection* c = FindByOwn(pdu.number)) {
    return {EncodePdu(kPduConnectionDataAnswer, c->hostNumber, std::nullopt, pdu.data)};
  }
  return {EncodePdu(kPduAbortAck, pdu.number)};
}

TransportEntity::PduList TransportEntity::AnswerDisconnect(const Pdu& pdu) {
  const SimConnection* c = FindByOwn(pdu.number);
  if (c == nullptr) {
    return {EncodePdu(kPduAbortAck, pdu.number)};
  }
  PduList out{EncodePdu(kPduDisconnectAnswer, c->hostNumber, std::nullopt, pdu.data)};
  Forget(c);
  return out;
}

TransportEntity::PduList TransportEntity::AnswerAbort(const Pdu& pdu) {
  // The host aborts with its own number when a client goes away, and with the peer byte
  // when its client left a connection data request of the controller's unanswered.
  SimConnection* c = FindByOwn(pdu.number);
  if (c == nullptr || !c->dataRequestOutstanding) {
    if (SimConnection* byHost = FindByHost(pdu.number)) {
      c = byHost;
    }
  }
  if (c != nullptr) {
    Forget(c);
  }
  return {EncodePdu(kPduAbortAck, pdu.number)};
}

void TransportEntity::OnAbortAck(const Pdu& pdu) {
  // The host's answer to a disconnect request it could not place, or to an abort.
  // It echoes the number of the request it answers (the host's number) or, when the
  // host's client left it unanswered, carries the peer byte (the controller's number).
  const SimConnection* c = FindByHost(pdu.number);
  if (c == nullptr || !c->disconnectOutstanding) {
    c = FindByOwn(pdu.number);
  }
  if (c != nullptr && c->disconnectOutstanding) {
    Forget(c);
  }
}

std::vector<std::uint8_t> TransportEntity::OriginateTransaction(std::uint8_t transportNumber,
                                                                std::span<const std::uint8_t> data,
                                                                std::uint8_t* requestNumber) {
  const std::uint8_t n = m_nextRequestNumber++;
  if (requestNumber != nullptr) {
    *requestNumber = n;
  }
  std::erase(m_open, n);
  m_open.push_back(n);
  return EncodePdu(kPduTransactionRequest, n, static_cast<std::uint8_t>(transportNumber + 0x20),
                   data);
}

std::optional<std::vector<std::uint8_t>> TransportEntity::OriginateConnectionData(
    std::uint8_t hostConnection, std::span<const std::uint8_t> data) {
  SimConnection* c = FindByHost(hostConnection);
  if (c == nullptr) {
    return std::nullopt;
  }
  c->dataRequestOutstanding = true;
  return EncodePdu(kPduConnectionDataRequest, c->hostNumber, std::nullopt, data);
}

std::optional<std::vector<std::uint8_t>> TransportEntity::OriginateDisconnect(
    std::uint8_t hostConnection, std::span<const std::uint8_t> data) {
  SimConnection* c = FindByHost(hostConnection);
  if (c == nullptr) {
    return std::nullopt;
  }
  c->disconnectOutstanding = true;
  return EncodePdu(kPduDisconnectRequest, c->hostNumber, std::nullopt, data);
}

std::optional<std::vector<std::uint8_t>> TransportEntity::OriginateAbort(
    std::uint8_t hostConnection) {
  const SimConnection* c = FindByHost(hostConnection);
  if (c == nullptr) {
    return std::nullopt;
  }
  // The host matches an abort by its peer byte, the controller's own number.
  std::vector<std::uint8_t> pdu = EncodePdu(kPduAbort, c->ownNumber);
  Forget(c);
  return pdu;
}

}  // namespace tavra::sim
