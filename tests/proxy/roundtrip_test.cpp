// The proxy against the real server and the simulated controller on a pseudo-terminal: link up
// with the identity, datagrams, transactions both ways, a connection from open to close,
// management requests, local refusals and ten thousand callbacks in order.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "proxy_support.h"
#include "sim/simulated_controller.h"

namespace tavra::dbus::test {
namespace {

using tavra::test::kWait;
using tavra::test::TestBus;

const std::vector<std::uint8_t> kIdentity{3, 1, 2, 3, 4, 0};

bool IsOnline(const CallbackEvent& e) {
  return e.values.at(0) == STATUS_ONLINE;
}

std::string LinkChanges(const std::vector<CallbackEvent>& events) {
  std::string text;
  for (const CallbackEvent& e : events) {
    if (e.method == "Management_Indication") {
      text += e.values.at(0) == STATUS_ONLINE ? "up " : "down ";
    }
  }
  return text;
}

class ProxyRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_bus.Ready());
    std::string error;
    ASSERT_TRUE(m_sim.StartPseudoTerminal((m_bus.PortFolder() / "COM3").string(), &error)) << error;
    ASSERT_EQ(ConnectTavraPool(OptionsFor(m_bus), m_pool, &error), S_OK) << error;
    ASSERT_EQ(m_pool->GetTavraInterface(3, 0, m_tavra), S_OK);
    ASSERT_NE(m_tavra, nullptr);
    ASSERT_EQ(m_tavra->Client_Add(m_callback, m_client), S_OK);
    ASSERT_TRUE(m_callback->WaitFor("Management_Indication", IsOnline, 20s));
  }

  // The client's link address (CLIENT_ADDRESS gives it less 32).
  std::uint8_t ClientAddress() {
    std::int32_t result = 0;
    std::int32_t type = 0;
    std::int32_t size = 0;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(m_tavra->Management_Request(m_client, CLIENT_ADDRESS, result, type, size, data),
              S_OK);
    EXPECT_EQ(size, 4);
    return data.size() == 4 ? static_cast<std::uint8_t>(data[0] + 32) : 0;
  }

  std::int32_t ClientIndex() {
    std::int32_t result = -1;
    std::int32_t type = 0;
    std::int32_t size = 0;
    std::vector<std::uint8_t> data;
    EXPECT_EQ(m_tavra->Management_Request(m_client, CLIENT_INDEX, result, type, size, data), S_OK);
    return result;
  }

  HRESULT Send(std::int32_t rxId,
               const std::vector<std::uint8_t>& data,
               std::uint8_t answer,
               std::int32_t requestId) {
    return m_tavra->Data_Request(m_client, rxId, static_cast<std::int32_t>(data.size()),
                                 data.data(), answer, requestId);
  }

  std::optional<CallbackEvent> Confirm(std::int32_t requestId) {
    return m_callback->WaitFor("Data_Confirm", [requestId](const CallbackEvent& e) {
      return e.values.at(0) == requestId;
    });
  }

  TestBus m_bus{false};
  sim::SimulatedController m_sim;
  std::shared_ptr<RecordingCallback> m_callback = std::make_shared<RecordingCallback>();
  std::shared_ptr<TavraPoolProxy> m_pool;
  std::shared_ptr<ITavra> m_tavra;
  std::int32_t m_client = -1;
};

TEST_F(ProxyRoundTrip, LinkComesUpWithTheControllerIdentity) {
  const std::optional<CallbackEvent> online =
      m_callback->WaitFor("Management_Indication", IsOnline);
  ASSERT_TRUE(online);
  EXPECT_EQ(*online, (CallbackEvent{"Management_Indication", {STATUS_ONLINE, 1}, kIdentity}));

  std::int32_t result = 0;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(m_tavra->Management_Request(m_client, CONNECT_STATUS, result, type, size, data), S_OK);
  EXPECT_EQ(result, STATUS_ONLINE);
  EXPECT_EQ(type, kDataTypeIdentity);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(data, kIdentity);

  std::vector<PortStatus> ports;
  ASSERT_EQ(m_pool->GetPortTable(ports), S_OK);
  ControllerIdentity identity;
  std::copy(kIdentity.begin(), kIdentity.end(), identity.bytes.begin());
  EXPECT_EQ(ports.at(3), (PortStatus{3, true, true, 1, identity}));
  EXPECT_FALSE(ports.at(2).inUse);

  // A second client learns at once that the link is up.
  auto other = std::make_shared<RecordingCallback>();
  std::int32_t otherId = -1;
  std::int32_t linkUp = -1;
  ASSERT_EQ(m_tavra->Client_AddEx(other, otherId, linkUp), S_OK);
  EXPECT_NE(otherId, m_client);
  EXPECT_EQ(linkUp, 1);
  const std::optional<CallbackEvent> first = other->WaitFor("Management_Indication");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->values, (std::vector<std::int32_t>{STATUS_ONLINE, 1}));
  EXPECT_EQ(m_tavra->Client_Remove(otherId), S_OK);
  EXPECT_EQ(m_tavra->Client_Remove(otherId), CommandFailed_ClientNotRegistered);
}

TEST_F(ProxyRoundTrip, DatagramsAreConfirmedWithTheirResult) {
  const std::uint8_t address = ClientAddress();
  ASSERT_GE(address, 0x40);
  ASSERT_EQ(Send(1, {0x11, 0x22}, 0, 77), S_OK);
  const std::optional<CallbackEvent> accepted = Confirm(77);
  ASSERT_TRUE(accepted);
  EXPECT_EQ(accepted->values, (std::vector<std::int32_t>{77, S_OK}));
  ASSERT_TRUE(m_sim.WaitUntil(
      [&] {
        for (const sim::ObservedFrame& f : m_sim.FramesReceived()) {
          if (f.destination == 0x21 && f.source == address && f.data == Bytes({0x11, 0x22})) {
            return true;
          }
        }
        return false;
      },
      kWait));

  // Nothing answers at link address 0x30 (P_RxId 0x10).
  ASSERT_EQ(Send(0x10, {0x01}, 0, 78), S_OK);
  const std::optional<CallbackEvent> rejected = Confirm(78);
  ASSERT_TRUE(rejected);
  EXPECT_EQ(rejected->values, (std::vector<std::int32_t>{78, CommandFailed_Rejected}));
}

TEST_F(ProxyRoundTrip, TransactionsCarryTheAnswerBothWays) {
  ASSERT_EQ(Send(1, {1, 2, 3}, 1, 79), S_OK);
  const std::optional<CallbackEvent> answer = Confirm(79);
  ASSERT_TRUE(answer);
  EXPECT_EQ(*answer, (CallbackEvent{"Data_Confirm", {79, S_OK}, Bytes({1, 2, 3})}));

  m_sim.SetTransactionPolicy(sim::TransactionPolicy::Refuse);
  ASSERT_EQ(Send(1, {4}, 1, 80), S_OK);
  const std::optional<CallbackEvent> refused = Confirm(80);
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->values, (std::vector<std::int32_t>{80, CommandFailed_Rejected}));

  // A request of the controller's own, answered from inside the callback (a weak reference:
  // the callback object is held by the proxy's connection).
  auto answeringId = std::make_shared<std::atomic<std::int32_t>>(-1);
  const std::weak_ptr<ITavra> weak = m_tavra;
  auto answering = std::make_shared<RecordingCallback>([weak, answeringId](const CallbackEvent& e) {
    if (e.method == "Data_Indication" && e.values.at(1) == 1) {
      if (const std::shared_ptr<ITavra> tavra = weak.lock()) {
        const std::vector<std::uint8_t> reply{0x5A, 0xA5};
        EXPECT_EQ(tavra->Data_Response(answeringId->load(), e.values.at(2), 2, reply.data()), S_OK);
      }
    }
  });
  std::int32_t id = -1;
  ASSERT_EQ(m_tavra->Client_Add(answering, id), S_OK);
  answeringId->store(id);
  std::int32_t index = -1;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(m_tavra->Management_Request(id, CLIENT_INDEX, index, type, size, data), S_OK);
  const std::uint8_t request =
      m_sim.OriginateTransaction(static_cast<std::uint8_t>(index), Bytes({0x42, 0x43}));
  const std::optional<CallbackEvent> indication = answering->WaitFor("Data_Indication");
  ASSERT_TRUE(indication);
  EXPECT_EQ(indication->values.at(0), request);
  EXPECT_EQ(indication->values.at(1), 1);
  EXPECT_EQ(indication->data, Bytes({0x42, 0x43}));
  EXPECT_TRUE(m_sim.WaitUntil(
      [&] {
        for (const sim::ObservedPdu& pdu : m_sim.TransportPdus()) {
          if (pdu.type == 0x50 && pdu.number == request && pdu.data == Bytes({0x5A, 0xA5})) {
            return true;
          }
        }
        return false;
      },
      kWait));
}

TEST_F(ProxyRoundTrip, ConnectionOpensCarriesDataAndCloses) {
  ASSERT_EQ(m_tavra->Connect_Request(m_client, 90, 1, 1, Bytes({9}).data()), S_OK);
  const std::optional<CallbackEvent> open = m_callback->WaitFor("Connect_Confirm");
  ASSERT_TRUE(open);
  ASSERT_EQ(open->values.at(0), 90);
  ASSERT_EQ(open->values.at(2), S_OK);
  const std::int32_t connection = open->values.at(1);
  EXPECT_EQ(open->data, Bytes({9}));
  ASSERT_EQ(m_sim.Connections().size(), 1u);

  const std::vector<std::uint8_t> payload{5, 6, 7};
  ASSERT_EQ(m_tavra->ConnectionData_Request(m_client, connection, 3, payload.data()), S_OK);
  const std::optional<CallbackEvent> data = m_callback->WaitFor("ConnectionData_Confirm");
  ASSERT_TRUE(data);
  EXPECT_EQ(data->values, (std::vector<std::int32_t>{connection}));
  EXPECT_EQ(data->data, payload);

  ASSERT_EQ(m_tavra->Disconnect_Request(m_client, connection, 0, nullptr), S_OK);
  const std::optional<CallbackEvent> closed = m_callback->WaitFor("Disconnect_Confirm");
  ASSERT_TRUE(closed);
  EXPECT_EQ(closed->values, (std::vector<std::int32_t>{connection}));
  EXPECT_TRUE(m_sim.WaitUntil([&] { return m_sim.Connections().empty(); }, kWait));
  EXPECT_EQ(m_tavra->ConnectionData_Request(m_client, connection, 3, payload.data()),
            CommandFailed_UnknownConnection);
}

TEST_F(ProxyRoundTrip, BuffersAreCheckedBeforeTheCall) {
  const std::size_t framesBefore = m_sim.FramesReceived().size();
  const std::uint8_t byte = 1;
  EXPECT_EQ(m_tavra->Data_Request(m_client, 1, -1, &byte, 0, 1), CommandFailed_DataTooLong);
  EXPECT_FALSE(LastCallStatus().failed);
  EXPECT_EQ(m_tavra->Data_Request(m_client, 1, 2, nullptr, 0, 1), CommandFailed_DataTooLong);
  EXPECT_EQ(m_tavra->ConnectionData_Request(m_client, 1, kMaxBusDataLength + 1, &byte),
            CommandFailed_DataTooLong);
  EXPECT_EQ(m_sim.FramesReceived().size(), framesBefore);
  // Within the bus limit the server judges: a transaction carries at most 1020 bytes.
  const std::vector<std::uint8_t> big(1021, 0xEE);
  EXPECT_EQ(m_tavra->Data_Request(m_client, 1, 1021, big.data(), 1, 1), CommandFailed_DataTooLong);
  const std::vector<std::uint8_t> most(1020, 0xEE);
  EXPECT_EQ(m_tavra->Data_Request(m_client, 1, 1020, most.data(), 1, 81), S_OK);
  const std::optional<CallbackEvent> echo = Confirm(81);
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->values.at(1), S_OK);
  EXPECT_EQ(echo->data, most);
  // No data: an empty array, and a null pointer is fine.
  EXPECT_EQ(m_tavra->Data_Request(m_client, 1, 0, nullptr, 0, 82), S_OK);
  ASSERT_TRUE(Confirm(82));
}

TEST_F(ProxyRoundTrip, ManagementOutputsAreWrittenOnlyOnSuccess) {
  std::int32_t result = 111;
  std::int32_t type = 222;
  std::int32_t size = 333;
  std::vector<std::uint8_t> data{1, 2};
  EXPECT_EQ(m_tavra->Management_Request(m_client, CONNECT_BOOTCODE - 1, result, type, size, data),
            CommandFailed_UnknownCommand);
  EXPECT_EQ(m_tavra->Management_Request(m_client + 7, CONNECT_STATUS, result, type, size, data),
            CommandFailed_ClientNotRegistered);
  EXPECT_EQ(std::tie(result, type, size), std::make_tuple(111, 222, 333));
  EXPECT_EQ(data, Bytes({1, 2}));

  ASSERT_EQ(m_tavra->Management_Request(m_client, LINK_STATUS_BLOCK, result, type, size, data),
            S_OK);
  EXPECT_EQ(type, kDataTypeLinkStatusBlock);
  EXPECT_EQ(size, 72);
  ASSERT_EQ(data.size(), 72u);
  EXPECT_EQ(data[0], 1);  // link up
  EXPECT_EQ(data[4], 3);  // controller type

  const std::size_t before = m_callback->Count();
  ASSERT_EQ(m_tavra->Management_Request(m_client, STATUS_INDICATION, result, type, size, data),
            S_OK);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(data.empty());
  const std::optional<CallbackEvent> status =
      m_callback->WaitFor("Management_Indication", nullptr, kWait, before);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (CallbackEvent{"Management_Indication", {STATUS_ONLINE, 1}, kIdentity}));
}

TEST_F(ProxyRoundTrip, TenThousandIndicationsArriveInOrderOnTheProxyThread) {
  constexpr int kCount = 10000;
  const std::uint8_t address = ClientAddress();
  const std::size_t before = m_callback->Count();
  // In rounds, as the controller keeps only so many frames of its own waiting.
  constexpr int kRound = 200;
  bool all = true;
  for (int first = 0; first < kCount && all; first += kRound) {
    for (int i = first; i < first + kRound; ++i) {
      m_sim.SendFrame(address, 0x23, Bytes({i >> 8, i & 0xFF}));
    }
    all = m_callback->WaitForCount(before + static_cast<std::size_t>(first + kRound), kWait);
  }
  const sim::SimCounters c = m_sim.Counters();
  ASSERT_TRUE(all) << m_callback->Count() - before << " arrived; controller sent " << c.framesSent
                   << " frames, " << c.retransmissions << " retransmissions, " << c.framesGivenUp
                   << " given up, " << c.acksReceived << " acknowledgements, " << c.hostTimeouts
                   << " host time-outs, link changes " << LinkChanges(m_callback->Events());
  const std::vector<CallbackEvent> events = m_callback->Events();
  for (int i = 0; i < kCount; ++i) {
    const CallbackEvent& e = events[before + static_cast<std::size_t>(i)];
    ASSERT_EQ(e, (CallbackEvent{"Data_Indication", {3, 0, 0}, Bytes({i >> 8, i & 0xFF})}))
        << "at " << i;
  }
  const std::vector<std::thread::id> threads = m_callback->Threads();
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_NE(threads.front(), std::this_thread::get_id());
}

TEST_F(ProxyRoundTrip, NoCallbackAfterClientRemove) {
  const std::uint8_t address = ClientAddress();
  ASSERT_EQ(m_tavra->Client_Remove(m_client), S_OK);
  const std::size_t after = m_callback->Count();
  // A second client sees the controller's next datagram; the removed one does not.
  auto other = std::make_shared<RecordingCallback>();
  std::int32_t otherId = -1;
  ASSERT_EQ(m_tavra->Client_Add(other, otherId), S_OK);
  m_sim.SendFrame(address, 0x23, Bytes({1}));
  std::int32_t result = 0;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(m_tavra->Management_Request(otherId, CLIENT_ADDRESS, result, type, size, data), S_OK);
  m_sim.SendFrame(static_cast<std::uint8_t>(data.at(0) + 32), 0x23, Bytes({2}));
  ASSERT_TRUE(other->WaitFor("Data_Indication"));
  EXPECT_EQ(m_callback->Count(), after);
  EXPECT_EQ(m_tavra->Data_Request(m_client, 1, 0, nullptr, 0, 1),
            CommandFailed_ClientNotRegistered);
}

}  // namespace
}  // namespace tavra::dbus::test
