#pragma once
// The controller's transport entity at link address 0x21: answers the host's transactions,
// connections, connection data, disconnects and aborts, and builds the requests the
// controller originates. It deals in PDU bytes only; the caller frames them.
//
// Owned and called by one thread at a time (the simulated controller's worker, under its
// state lock); no locks of its own.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tavra::sim {

struct Pdu;

// How the transport entity answers requests from the host.
enum class TransactionPolicy {
  Echo,    // 0x50 with the request's data (default)
  Fixed,   // 0x50 with a fixed answer
  Refuse,  // 0x00
  Ignore,  // no answer at all
};
enum class ConnectPolicy {
  Accept,       // 0xD0 with the controller's connection number, echoing the data (default)
  Refuse,       // 0x10
  RefuseOther,  // 0xC0 (refused for another reason)
  Ignore,       // no answer
};

// A connection the controller has accepted.
struct SimConnection {
  std::uint8_t hostNumber = 0;          // the host's local connection number
  std::uint8_t ownNumber = 0;           // the controller's number (the host's peer byte)
  std::uint8_t destination = 0;         // the extra byte of the connect request
  bool dataRequestOutstanding = false;  // a 0xB0 of the controller's awaits its 0xA0
  bool disconnectOutstanding = false;   // a 0x90 of the controller's awaits its 0x80
  bool operator==(const SimConnection&) const = default;
};

class TransportEntity {
 public:
  static constexpr std::size_t kMaxConnections = 16;

  using PduList = std::vector<std::vector<std::uint8_t>>;

  // One PDU from the host; returns the answers to send, in order. Malformed PDUs get none.
  PduList Handle(std::span<const std::uint8_t> bytes);

  // Requests of the controller's own. nullopt when there is no such connection.
  std::vector<std::uint8_t> OriginateTransaction(std::uint8_t transportNumber,
                                                 std::span<const std::uint8_t> data,
                                                 std::uint8_t* requestNumber = nullptr);
  std::optional<std::vector<std::uint8_t>> OriginateConnectionData(
      std::uint8_t hostConnection, std::span<const std::uint8_t> data);
  std::optional<std::vector<std::uint8_t>> OriginateDisconnect(std::uint8_t hostConnection,
                                                               std::span<const std::uint8_t> data);
  // The connection is forgotten at once.
  std::optional<std::vector<std::uint8_t>> OriginateAbort(std::uint8_t hostConnection);

  void SetTransactionPolicy(TransactionPolicy policy, std::vector<std::uint8_t> answer);
  void SetConnectPolicy(ConnectPolicy policy) { m_connectPolicy = policy; }
  // The next n transaction and connect requests are answered busy (0x60 / 0xE0).
  void AnswerBusy(int n) { m_busyLeft = n < 0 ? 0 : n; }
  // Besides: every n-th transaction and connect request from now on is answered busy (0: off).
  void AnswerBusyEvery(int n) {
    m_busyEvery = n < 0 ? 0 : n;
    m_busyCandidates = 0;
  }
  [[nodiscard]] int BusyLeft() const { return m_busyLeft; }
  [[nodiscard]] std::uint32_t BusyAnswers() const { return m_busyAnswers; }

  [[nodiscard]] const std::vector<SimConnection>& Connections() const { return m_connections; }
  // Transactions of the controller's own still waiting for 0x50 / 0x00 / 0x60.
  [[nodiscard]] const std::vector<std::uint8_t>& OpenTransactions() const { return m_open; }
  // After a restart: no connections, no open transactions (policies and busy count stay).
  void Reset();

 private:
  // Handle's answers, one kind of PDU from the host each.
  PduList AnswerTransaction(const Pdu& pdu);
  PduList AnswerConnect(const Pdu& pdu);
  PduList AnswerConnectionData(const Pdu& pdu);
  PduList AnswerDisconnect(const Pdu& pdu);
  PduList AnswerAbort(const Pdu& pdu);
  void OnAbortAck(const Pdu& pdu);
  SimConnection* FindByHost(std::uint8_t hostNumber);
  SimConnection* FindByOwn(std::uint8_t ownNumber);
  void Forget(const SimConnection* connection);
  // Whether this transaction or connect request is answered busy (counts the answer).
  bool TakeBusy();
  std::optional<std::uint8_t> NewOwnNumber();

  TransactionPolicy m_transactionPolicy = TransactionPolicy::Echo;
  std::vector<std::uint8_t> m_fixedAnswer;
  ConnectPolicy m_connectPolicy = ConnectPolicy::Accept;
  int m_busyLeft = 0;
  int m_busyEvery = 0;
  std::uint32_t m_busyCandidates = 0;  // requests counted for m_busyEvery
  std::uint32_t m_busyAnswers = 0;
  std::vector<SimConnection> m_connections;
  std::uint8_t m_lastOwnNumber = 0;
  std::uint8_t m_nextRequestNumber = 0;
  std::vector<std::uint8_t> m_open;
};

}  // namespace tavra::sim
