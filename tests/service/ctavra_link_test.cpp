// The controller object with a link: the simulated controller serves a pseudo-terminal that the
// real serial driver opens as COM3. Status and management outputs with the link up, the
// per-client back-off values as the controller sees them, and a controller request routed to
// its client and answered.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "server/service/ctavra.h"
#include "server/service/tavra_pool.h"
#include "server/stack/port_table.h"
#include "service_test_support.h"

namespace tavra::service {
namespace {

using test::CallbackEvent;
using test::RecordingCallback;
using namespace std::chrono_literals;

constexpr int kPort = 3;
constexpr std::uint8_t kSilentAddress = 0x30;  // accepts frames, never answers
constexpr std::int32_t kSilentRxId = kSilentAddress - 0x20;
constexpr std::int32_t kControllerTransportRxId = 1;
const std::vector<std::uint8_t> kIdentity{3, 1, 2, 3, 4, 0};

sim::SimConfig Config() {
  sim::SimConfig config;
  config.extraAddresses = {kSilentAddress};
  return config;
}

bool IsOnline(const CallbackEvent& e) {
  return e.method == "Management_Indication" && e.a == STATUS_ONLINE;
}

class LinkedController : public ::testing::Test {
 protected:
  void SetUp() override {
    stack::GlobalPortTable().Clear();
    // Shorter back-off times, same meaning; the defaults of new clients.
    m_settings.Set(stack::Setting::L4_BackoffRetransmissions, 4);
    m_settings.Set(stack::Setting::L4_BackoffTime, 100);
    m_settings.Set(stack::Setting::L2_BackoffRetransmissions, 1);
    m_settings.Set(stack::Setting::L2_BackoffTime, 100);
    ASSERT_EQ(m_pool.GetController(kPort, m_tavra), S_OK);
  }
  void TearDown() override {
    m_tavra.reset();
    stack::GlobalPortTable().Clear();
  }

  // Registers a client and waits until it has been told that the link is up.
  test::RegisteredClient AddOnline() {
    test::RegisteredClient client;
    EXPECT_EQ(m_tavra->Client_Add(client.callback, client.id), S_OK);
    EXPECT_TRUE(client.callback->WaitFor(
        [](const std::vector<CallbackEvent>& events) {
          return std::any_of(events.begin(), events.end(), IsOnline);
        },
        15s));
    return client;
  }

  test::SettingsGuard m_settings;
  test::PortDir m_dir;
  test::PtyController m_controller{m_dir, kPort, Config()};
  test::CountingFactory m_ports;
  TavraPool m_pool{m_ports.Termios()};
  std::shared_ptr<CTavra> m_tavra;
};

TEST_F(LinkedController, NewClientWhileOnlineIsToldFirstWithTheIdentity) {
  AddOnline();
  EXPECT_TRUE(m_tavra->IsLinkUp());

  auto callback = std::make_shared<RecordingCallback>();
  std::int32_t id = -1;
  std::int32_t connected = -1;
  ASSERT_EQ(m_tavra->Client_AddEx(callback, id, connected), S_OK);
  EXPECT_EQ(connected, 1);
  ASSERT_TRUE(callback->WaitForCount(1, 5s));
  const CallbackEvent first = callback->Events().front();
  EXPECT_EQ(first.method, "Management_Indication");
  EXPECT_EQ(first.a, STATUS_ONLINE);
  EXPECT_EQ(first.b, kSubtypeOnline);
  EXPECT_EQ(first.data, kIdentity);
  EXPECT_EQ(stack::GlobalPortTable().Get(kPort).clientCount, 2);
}

TEST_F(LinkedController, ManagementOutputsWithTheLinkUp) {
  const test::RegisteredClient client = AddOnline();
  std::int32_t result = -1;
  std::int32_t type = -1;
  std::int32_t size = -1;
  std::vector<std::uint8_t> data;

  ASSERT_EQ(m_tavra->Management_Request(client.id, CONNECT_STATUS, result, type, size, data), S_OK);
  EXPECT_EQ(result, STATUS_ONLINE);
  EXPECT_EQ(type, kDataTypeIdentity);
  EXPECT_EQ(size, 6);
  EXPECT_EQ(data, kIdentity);

  ASSERT_EQ(m_tavra->Management_Request(client.id, CLIENT_ADDRESS, result, type, size, data), S_OK);
  EXPECT_EQ(type, kDataTypeClientAddress);
  EXPECT_EQ(size, 4);
  EXPECT_EQ(data, (std::vector<std::uint8_t>{0x20, 0, 0, 0}));  // first client: address 0x40

  ASSERT_EQ(m_tavra->Management_Request(client.id, LINK_STATUS_BLOCK, result, type, size, data),
            S_OK);
  EXPECT_EQ(type, kDataTypeLinkStatusBlock);
  EXPECT_EQ(size, 72);
  ASSERT_EQ(data.size(), 72u);
  EXPECT_EQ(data[0], 1);  // word 0: link up
  EXPECT_EQ(data[4], 3);  // word 1: controller type

  // A status indication on request, in order after the first one.
  ASSERT_EQ(m_tavra->Management_Request(client.id, STATUS_INDICATION, result, type, size, data),
            S_OK);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(client.callback->WaitFor(
      [](const std::vector<CallbackEvent>& events) {
        return std::count_if(events.begin(), events.end(), IsOnline) >= 2;
      },
      5s));
}

TEST_F(LinkedController, BackoffValuesOfEachClientReachTheLink) {
  const test::RegisteredClient tuned = AddOnline();
  const test::RegisteredClient plain = AddOnline();
  // L4 busy budget 2, L2 busy budget 3 (times shortened from 2000 and 1000 ms).
  ASSERT_EQ(m_tavra->Management_SetupBackoff(tuned.id, 2, 100, 3, 100), S_OK);
  sim::SimulatedController& sim = m_controller.Sim();
  const std::uint8_t payload[] = {0xAB, 0xCD};

  // Datagrams answered "busy" by the controller: sent as often as the client's L2 budget says.
  sim.AnswerBusy(1000, kSilentAddress);
  std::uint32_t busy = sim.Counters().busyAnswers;
  ASSERT_EQ(m_tavra->Data_Request(tuned.id, kSilentRxId, 2, payload, 0, 71), S_OK);
  auto confirm = tuned.callback->WaitForEvent("Data_Confirm", 71, 10s);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->b, CommandFailed_ControllerBusy);
  EXPECT_EQ(sim.Counters().busyAnswers - busy, 3u);

  busy = sim.Counters().busyAnswers;
  ASSERT_EQ(m_tavra->Data_Request(plain.id, kSilentRxId, 2, payload, 0, 72), S_OK);
  confirm = plain.callback->WaitForEvent("Data_Confirm", 72, 10s);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->b, CommandFailed_ControllerBusy);
  EXPECT_EQ(sim.Counters().busyAnswers - busy, 1u);  // the default budget, 1

  // Transactions answered "busy" by the controller's transport: sent budget + 1 times.
  sim.AnswerTransportBusy(1000);
  std::uint32_t transportBusy = sim.Counters().transportBusyAnswers;
  ASSERT_EQ(m_tavra->Data_Request(tuned.id, kControllerTransportRxId, 2, payload, 1, 73), S_OK);
  confirm = tuned.callback->WaitForEvent("Data_Confirm", 73, 10s);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->b, CommandFailed_ControllerBusy);
  EXPECT_EQ(sim.Counters().transportBusyAnswers - transportBusy, 3u);

  transportBusy = sim.Counters().transportBusyAnswers;
  ASSERT_EQ(m_tavra->Data_Request(plain.id, kControllerTransportRxId, 2, payload, 1, 74), S_OK);
  confirm = plain.callback->WaitForEvent("Data_Confirm", 74, 10s);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->b, CommandFailed_ControllerBusy);
  EXPECT_EQ(sim.Counters().transportBusyAnswers - transportBusy, 5u);  // default budget 4
}

TEST_F(LinkedController, OutOfRangeL2ValuesFailTheNextDatagram) {
  const test::RegisteredClient client = AddOnline();
  const std::uint8_t payload[] = {1, 2, 3};
  ASSERT_EQ(m_tavra->Management_SetupBackoff(client.id, 5, 2000, 11, 1000), S_OK);
  EXPECT_EQ(m_tavra->Data_Request(client.id, kSilentRxId, 3, payload, 0, 1),
            CommandFailed_InvalidParameter);
  ASSERT_EQ(m_tavra->Management_SetupBackoff(client.id, 5, 2000, 3, 10001), S_OK);
  EXPECT_EQ(m_tavra->Data_Request(client.id, kSilentRxId, 3, payload, 0, 2),
            CommandFailed_InvalidParameter);
  ASSERT_EQ(m_tavra->Management_SetupBackoff(client.id, 101, 2000, 3, 1000), S_OK);
  EXPECT_EQ(m_tavra->Data_Request(client.id, kControllerTransportRxId, 3, payload, 1, 3),
            CommandFailed_InvalidParameter);

  // Back in range: the datagram goes out and is confirmed.
  ASSERT_EQ(m_tavra->Management_SetupBackoff(client.id, 5, 2000, 10, 1000), S_OK);
  ASSERT_EQ(m_tavra->Data_Request(client.id, kSilentRxId, 3, payload, 0, 4), S_OK);
  const auto confirm = client.callback->WaitForEvent("Data_Confirm", 4, 10s);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->b, S_OK);
  EXPECT_EQ(client.callback->WaitForEvent("Data_Confirm", 1, 0ms), std::nullopt);
}

TEST_F(LinkedController, ControllerRequestReachesOnlyItsClientAndIsAnswered) {
  const test::RegisteredClient first = AddOnline();
  const test::RegisteredClient second = AddOnline();
  std::int32_t index = -1;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(m_tavra->Management_Request(second.id, CLIENT_INDEX, index, type, size, data), S_OK);

  sim::SimulatedController& sim = m_controller.Sim();
  const std::vector<std::uint8_t> question{0x42, 0x43};
  const std::uint8_t number = sim.OriginateTransaction(static_cast<std::uint8_t>(index), question);
  const auto indication = second.callback->WaitForEvent("Data_Indication", number, 10s);
  ASSERT_TRUE(indication.has_value());
  EXPECT_EQ(indication->b, 1);  // P_L7ResponseRequired
  EXPECT_EQ(indication->data, question);

  const std::uint8_t answer[] = {0x99};
  ASSERT_EQ(m_tavra->Data_Response(second.id, indication->c, 1, answer), S_OK);
  EXPECT_TRUE(sim.WaitUntil(
      [&] {
        for (const sim::ObservedPdu& pdu : sim.TransportPdus()) {
          if (pdu.type == 0x50 && pdu.number == number) {
            return pdu.data == std::vector<std::uint8_t>{0x99};
          }
        }
        return false;
      },
      10s));
  for (const CallbackEvent& e : first.callback->Events()) {
    EXPECT_NE(e.method, "Data_Indication");
  }
}

TEST_F(LinkedController, RemovedClientHearsNothingMore) {
  const test::RegisteredClient gone = AddOnline();
  const test::RegisteredClient stays = AddOnline();
  std::int32_t index = -1;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(m_tavra->Management_Request(gone.id, CLIENT_INDEX, index, type, size, data), S_OK);
  ASSERT_EQ(m_tavra->Client_Remove(gone.id), S_OK);
  const std::size_t heard = gone.callback->Events().size();
  EXPECT_EQ(gone.callback.use_count(), 1);

  // A controller request for the removed client's transport number is refused at once (0x00).
  sim::SimulatedController& sim = m_controller.Sim();
  const std::uint8_t number = sim.OriginateTransaction(static_cast<std::uint8_t>(index), {});
  EXPECT_TRUE(sim.WaitUntil(
      [&] {
        for (const sim::ObservedPdu& pdu : sim.TransportPdus()) {
          if (pdu.type == 0x00 && pdu.number == number) {
            return true;
          }
        }
        return false;
      },
      10s));
  // A request for the remaining client still reaches it.
  std::int32_t other = -1;
  ASSERT_EQ(m_tavra->Management_Request(stays.id, CLIENT_INDEX, other, type, size, data), S_OK);
  const std::uint8_t next = sim.OriginateTransaction(static_cast<std::uint8_t>(other), {});
  EXPECT_TRUE(stays.callback->WaitForEvent("Data_Indication", next, 10s).has_value());
  EXPECT_EQ(gone.callback->Events().size(), heard);
}

}  // namespace
}  // namespace tavra::service
