// The controller object without a link to the controller: client registration and removal, the
// checks of the methods, the never-started object, the module lock and the trace texts. The
// serial port is simulated with nothing at the far end, so the link stays down.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "server/service/ctavra.h"
#include "server/service/module_lock.h"
#include "server/service/tavra_pool.h"
#include "server/stack/port_table.h"
#include "server/stack/simulated_serial_port.h"
#include "service_test_support.h"
#include "shared/sync_event.h"

namespace tavra::service {
namespace {

using test::CallbackEvent;
using test::RecordingCallback;
using namespace std::chrono_literals;

constexpr int kPort = 3;
const std::vector<std::uint8_t> kPayload{0x11, 0x22, 0x33};

class LinkDownController : public ::testing::Test {
 protected:
  void SetUp() override {
    stack::GlobalPortTable().Clear();
    ASSERT_EQ(m_pool.GetController(kPort, m_tavra), S_OK);
    ASSERT_NE(m_tavra, nullptr);
  }
  void TearDown() override {
    m_tavra.reset();
    stack::GlobalPortTable().Clear();
  }

  std::int32_t AddClient(const std::shared_ptr<RecordingCallback>& callback) {
    std::int32_t id = -1;
    EXPECT_EQ(m_tavra->Client_Add(callback, id), S_OK);
    return id;
  }

  [[nodiscard]] static std::int32_t ClientCount() {
    return stack::GlobalPortTable().Get(kPort).clientCount;
  }

  test::CountingFactory m_ports;
  TavraPool m_pool{m_ports.Unconnected()};
  std::shared_ptr<CTavra> m_tavra;
};

TEST_F(LinkDownController, StartSetsTheInUseFlagAndRegistersNoClient) {
  EXPECT_TRUE(stack::GlobalPortTable().Get(kPort).inUse);
  EXPECT_TRUE(m_tavra->IsStarted());
  EXPECT_EQ(m_tavra->PortNumber(), kPort);
  EXPECT_EQ(ClientCount(), 0);
  EXPECT_FALSE(m_tavra->IsLinkUp());
}

TEST_F(LinkDownController, NullCallbackIsRefusedAndChangesNothing) {
  std::int32_t id = 777;
  EXPECT_EQ(m_tavra->Client_Add(nullptr, id), CommandFailed_ClientNotRegistered);
  std::int32_t connected = 9;
  EXPECT_EQ(m_tavra->Client_AddEx(nullptr, id, connected), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(id, 777);
  EXPECT_EQ(ClientCount(), 0);
  EXPECT_EQ(m_tavra->RegisteredClients(), 0);
}

TEST_F(LinkDownController, AddExWithoutLinkReportsNoConnectionAndTheFirstCallbackIsTheStatus) {
  auto callback = std::make_shared<RecordingCallback>();
  std::int32_t id = -1;
  std::int32_t connected = 7;
  ASSERT_EQ(m_tavra->Client_AddEx(callback, id, connected), S_OK);
  EXPECT_EQ(connected, 0);
  ASSERT_TRUE(callback->WaitForCount(1, 5s));
  const CallbackEvent first = callback->Events().front();
  EXPECT_EQ(first.method, "Management_Indication");
  EXPECT_EQ(first.a, STATUS_NO_CONNECTION);
  EXPECT_EQ(first.b, kSubtypeNoConnection);
  EXPECT_TRUE(first.data.empty());
  EXPECT_FALSE(first.dataPointerNull);
  EXPECT_EQ(ClientCount(), 1);
}

TEST_F(LinkDownController, TwoClientsGetDistinctIdsAndAreCountedInThePortTable) {
  auto first = std::make_shared<RecordingCallback>();
  auto second = std::make_shared<RecordingCallback>();
  const std::int32_t a = AddClient(first);
  const std::int32_t b = AddClient(second);
  EXPECT_NE(a, b);
  EXPECT_EQ(ClientCount(), 2);
  EXPECT_EQ(m_tavra->RegisteredClients(), 2);

  EXPECT_EQ(m_tavra->Client_Remove(a), S_OK);
  EXPECT_EQ(ClientCount(), 1);
  EXPECT_EQ(m_tavra->Client_Remove(a), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(ClientCount(), 1);
  // The entry keeps no reference to the callback once removed.
  EXPECT_EQ(first.use_count(), 1);
  EXPECT_GT(second.use_count(), 1);
}

TEST_F(LinkDownController, NineteenthClientIsRefusedForWantOfALinkAddress) {
  std::vector<std::int32_t> ids;
  for (int i = 0; i < 18; ++i) {
    std::int32_t id = -1;
    ASSERT_EQ(m_tavra->Client_Add(std::make_shared<RecordingCallback>(), id), S_OK) << i;
    ids.push_back(id);
  }
  EXPECT_EQ(ClientCount(), 18);
  std::int32_t id = -1;
  auto nineteenth = std::make_shared<RecordingCallback>();
  EXPECT_EQ(m_tavra->Client_Add(nineteenth, id), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(ClientCount(), 18);
  EXPECT_EQ(nineteenth.use_count(), 1);

  // A freed address is given again.
  ASSERT_EQ(m_tavra->Client_Remove(ids[4]), S_OK);
  EXPECT_EQ(m_tavra->Client_Add(nineteenth, id), S_OK);
  EXPECT_EQ(ClientCount(), 18);
}

TEST_F(LinkDownController, UnknownClientIdsAreNotRegisteredForEveryMethod) {
  const std::int32_t known = AddClient(std::make_shared<RecordingCallback>());
  const std::int32_t unknown = known + 1000;
  const std::uint8_t* data = kPayload.data();
  const auto len = static_cast<std::int32_t>(kPayload.size());

  EXPECT_EQ(m_tavra->Client_Remove(unknown), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->Data_Request(unknown, 1, len, data, 0, 1), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->Data_Response(unknown, 1, len, data), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->Connect_Request(unknown, 1, 1, len, data), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->Connect_Response(unknown, 1, 1, len, data), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->Management_SetupBackoff(unknown, 1, 1, 1, 1),
            CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->Disconnect_Request(unknown, 1, len, data), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->Disconnect_Response(unknown, 1, len, data), CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->ConnectionData_Request(unknown, 1, len, data),
            CommandFailed_ClientNotRegistered);
  EXPECT_EQ(m_tavra->ConnectionData_Response(unknown, 1, len, data),
            CommandFailed_ClientNotRegistered);
  EXPECT_EQ(ClientCount(), 1);
}

// The management command range: the client is checked first, then the range.
struct CommandCase {
  std::int32_t command;
  bool registered;
  HRESULT expected;
};

class ManagementChecks : public LinkDownController,
                         public ::testing::WithParamInterface<CommandCase> {};

TEST_P(ManagementChecks, ClientIsCheckedBeforeTheCommandAndOutputsStayUntouched) {
  const CommandCase c = GetParam();
  std::int32_t id = AddClient(std::make_shared<RecordingCallback>());
  if (!c.registered) {
    id += 500;
  }
  std::int32_t result = -5;
  std::int32_t type = -6;
  std::int32_t size = -7;
  std::vector<std::uint8_t> data{0xEE};
  EXPECT_EQ(m_tavra->Management_Request(id, c.command, result, type, size, data), c.expected);
  EXPECT_EQ(result, -5);
  EXPECT_EQ(type, -6);
  EXPECT_EQ(size, -7);
  EXPECT_EQ(data, std::vector<std::uint8_t>{0xEE});
}

INSTANTIATE_TEST_SUITE_P(
    RangeEdges,
    ManagementChecks,
    ::testing::Values(CommandCase{0x24000010, true, CommandFailed_UnknownCommand},
                      CommandCase{0x24000018, true, CommandFailed_UnknownCommand},
                      CommandCase{0, true, CommandFailed_UnknownCommand},
                      CommandCase{-1, true, CommandFailed_UnknownCommand},
                      CommandCase{CONNECT_STATUS, false, CommandFailed_ClientNotRegistered},
                      CommandCase{0x24000018, false, CommandFailed_ClientNotRegistered},
                      CommandCase{0x24000010, false, CommandFailed_ClientNotRegistered}));

TEST_F(LinkDownController, CommandsAtTheRangeEdgesReachTheLinkStack) {
  const std::int32_t id = AddClient(std::make_shared<RecordingCallback>());
  std::int32_t result = -1;
  std::int32_t type = -1;
  std::int32_t size = -1;
  std::vector<std::uint8_t> data{1, 2};

  // Lowest command: without a link the boot-code wish is only recorded.
  EXPECT_EQ(m_tavra->Management_Request(id, CONNECT_BOOTCODE, result, type, size, data), S_OK);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(data.empty());

  // Highest command: the client's slot in the transport layer.
  result = type = size = -1;
  EXPECT_EQ(m_tavra->Management_Request(id, CLIENT_INDEX, result, type, size, data), S_OK);
  EXPECT_EQ(type, CLIENT_INDEX);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(data.empty());

  result = type = size = -1;
  EXPECT_EQ(m_tavra->Management_Request(id, CONNECT_STATUS, result, type, size, data), S_OK);
  EXPECT_EQ(result, STATUS_NO_CONNECTION);
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(data.empty());

  // RESET_CONTROLLER needs a link.
  EXPECT_EQ(m_tavra->Management_Request(id, RESET_CONTROLLER, result, type, size, data),
            CommandFailed_NoConnection);
}

TEST_F(LinkDownController, SecondClientHasTheNextTransportIndex) {
  const std::int32_t first = AddClient(std::make_shared<RecordingCallback>());
  const std::int32_t second = AddClient(std::make_shared<RecordingCallback>());
  std::int32_t result = -1;
  std::int32_t type = 0;
  std::int32_t size = 0;
  std::vector<std::uint8_t> data;
  ASSERT_EQ(m_tavra->Management_Request(second, CLIENT_INDEX, result, type, size, data), S_OK);
  EXPECT_EQ(result, 1);
  ASSERT_EQ(m_tavra->Management_Request(first, CLIENT_INDEX, result, type, size, data), S_OK);
  EXPECT_EQ(result, 0);
}

TEST_F(LinkDownController, ConnectResponseIsNeverAccepted) {
  const std::int32_t id = AddClient(std::make_shared<RecordingCallback>());
  EXPECT_EQ(m_tavra->Connect_Response(id, 1, 1, 3, kPayload.data()), CommandFailed_UnknownError);
  EXPECT_EQ(m_tavra->Connect_Response(id, 0, 0, 0, nullptr), CommandFailed_UnknownError);
}

TEST_F(LinkDownController, SetupBackoffStoresUncheckedValuesAndRequestsWithoutLinkFail) {
  const std::int32_t id = AddClient(std::make_shared<RecordingCallback>());
  EXPECT_EQ(m_tavra->Management_SetupBackoff(id, 5, 2000, 3, 1000), S_OK);
  EXPECT_EQ(m_tavra->Management_SetupBackoff(id, -1, 99999, 11, -5), S_OK);
  // The L4 values are checked by the transport layer before anything is sent.
  EXPECT_EQ(m_tavra->Data_Request(id, 1, 3, kPayload.data(), 1, 1), CommandFailed_InvalidParameter);
  // A datagram meets the missing link first.
  EXPECT_EQ(m_tavra->Data_Request(id, 1, 3, kPayload.data(), 0, 1), CommandFailed_NoConnection);
}

TEST_F(LinkDownController, TransportChecksComeBackTranslated) {
  const std::int32_t id = AddClient(std::make_shared<RecordingCallback>());
  std::vector<std::uint8_t> tooLong(1021, 0x5A);
  EXPECT_EQ(m_tavra->Data_Request(id, 1, 1021, tooLong.data(), 1, 1), CommandFailed_DataTooLong);
  EXPECT_EQ(m_tavra->Data_Response(id, 12345, 3, kPayload.data()),
            CommandFailed_NoPendingIndication);
  EXPECT_EQ(m_tavra->Disconnect_Request(id, 3, 3, kPayload.data()),
            CommandFailed_UnknownConnection);
  EXPECT_EQ(m_tavra->ConnectionData_Request(id, 3, 3, kPayload.data()),
            CommandFailed_UnknownConnection);
}

TEST_F(LinkDownController, ClientMayRemoveItselfFromInsideItsCallback) {
  auto callback = std::make_shared<RecordingCallback>();
  CTavra* tavra = m_tavra.get();
  // Shared with the callback, which may still run on the delivery thread after the test's end.
  struct Shared {
    std::atomic<std::int32_t> id{-1};
    std::atomic<bool> fired{false};
    std::atomic<HRESULT> removed{-1};
    Event done;
  };
  auto shared = std::make_shared<Shared>();
  callback->SetOnEvent([shared, tavra](const CallbackEvent& e) {
    if (e.method == "Management_Indication" && shared->id != -1 && !shared->fired.exchange(true)) {
      shared->removed = tavra->Client_Remove(shared->id);
      shared->done.Set();
    }
  });
  std::int32_t newId = -1;
  ASSERT_EQ(m_tavra->Client_Add(callback, newId), S_OK);
  shared->id = newId;
  // The status indication may have come before the id was stored: ask for another one.
  std::int32_t r = 0;
  std::int32_t t = 0;
  std::int32_t s = 0;
  std::vector<std::uint8_t> d;
  static_cast<void>(m_tavra->Management_Request(newId, STATUS_INDICATION, r, t, s, d));
  ASSERT_TRUE(shared->done.Wait(5s));
  EXPECT_EQ(shared->removed, S_OK);
  EXPECT_EQ(m_tavra->RegisteredClients(), 0);
  EXPECT_EQ(ClientCount(), 0);
}

TEST_F(LinkDownController, RemoveWaitsAtMostHalfASecondForAClientHangingInACallback) {
  auto callback = std::make_shared<RecordingCallback>();
  callback->BlockCallbacks();
  const std::int32_t id = AddClient(callback);
  ASSERT_TRUE(callback->WaitUntilBlocked(5s));  // inside its status indication

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(m_tavra->Client_Remove(id), S_OK);
  const auto waited = std::chrono::steady_clock::now() - before;
  EXPECT_LT(waited, 3s);
  EXPECT_EQ(ClientCount(), 0);
  // The delivery thread still uses the callback object: the reference held for it stays.
  EXPECT_GT(callback.use_count(), 1);
  // Other clients work meanwhile.
  const std::int32_t other = AddClient(std::make_shared<RecordingCallback>());
  EXPECT_NE(other, -1);

  callback->Unblock();
  // Once the callback has returned, the thread ends and lets go of the object (reaped by the
  // next removal or by the destructor).
  EXPECT_EQ(m_tavra->Client_Remove(other), S_OK);
  m_tavra.reset();
  EXPECT_EQ(callback.use_count(), 1);
}

TEST_F(LinkDownController, LastReleaseRemovesClientsClosesThePortAndTracesTheDestructor) {
  test::TraceRecorder trace;
  auto callback = std::make_shared<RecordingCallback>();
  AddClient(callback);
  AddClient(std::make_shared<RecordingCallback>());
  EXPECT_EQ(ClientCount(), 2);

  m_tavra.reset();
  const stack::PortEntry entry = stack::GlobalPortTable().Get(kPort);
  EXPECT_FALSE(entry.inUse);
  EXPECT_EQ(entry.clientCount, 0);
  EXPECT_EQ(callback.use_count(), 1);
  EXPECT_EQ(m_pool.Controller(kPort), nullptr);
  const std::vector<std::string> texts = trace.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "CTavra destructor starts");
  EXPECT_EQ(texts[1], "CTavra destructor stops");
}

TEST_F(LinkDownController, ControllerObjectHoldsOneModuleLock) {
  const std::int64_t held = ModuleLockCount();
  auto extra = CTavra::Create();
  EXPECT_EQ(ModuleLockCount(), held + 1);
  extra.reset();
  EXPECT_EQ(ModuleLockCount(), held);
  m_tavra.reset();
  EXPECT_EQ(ModuleLockCount(), held - 1);
}

// ---------------------------------------------------------------------------------------------
// The never-started object (the Tavra class).

TEST(NeverStartedTavra, EveryMethodReturnsNotInitialised) {
  stack::GlobalPortTable().Clear();
  std::shared_ptr<ITavra> tavra = CTavra::Create();
  auto callback = std::make_shared<RecordingCallback>();
  std::int32_t id = 55;
  std::int32_t connected = 9;
  const std::uint8_t byte = 1;
  EXPECT_EQ(tavra->Client_Add(callback, id), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Client_AddEx(callback, id, connected), CommandFailed_NotInitialised);
  EXPECT_EQ(connected, 0);
  EXPECT_EQ(id, 55);
  EXPECT_EQ(tavra->Client_Add(nullptr, id), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Client_Remove(1), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Data_Request(1, 1, 1, &byte, 0, 1), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Data_Response(1, 1, 1, &byte), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Connect_Request(1, 1, 1, 1, &byte), CommandFailed_NotInitialised);
  std::int32_t r = 0;
  std::int32_t t = 0;
  std::int32_t s = 0;
  std::vector<std::uint8_t> d;
  EXPECT_EQ(tavra->Management_Request(1, CONNECT_STATUS, r, t, s, d), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Management_Request(1, 0x24000018, r, t, s, d), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Connect_Response(1, 1, 1, 1, &byte), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Management_SetupBackoff(1, 1, 1, 1, 1), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Disconnect_Request(1, 1, 1, &byte), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->Disconnect_Response(1, 1, 1, &byte), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->ConnectionData_Request(1, 1, 1, &byte), CommandFailed_NotInitialised);
  EXPECT_EQ(tavra->ConnectionData_Response(1, 1, 1, &byte), CommandFailed_NotInitialised);
  EXPECT_EQ(callback.use_count(), 1);
  // It touches no port.
  for (const stack::PortEntry& e : stack::GlobalPortTable().Snapshot()) {
    EXPECT_FALSE(e.inUse);
  }
}

TEST(NeverStartedTavra, FailedStartKeepsItsCodeAndLeavesThePortFree) {
  stack::GlobalPortTable().Clear();
  auto tavra = CTavra::Create();
  EXPECT_EQ(tavra->Start(4, nullptr), CommandFailed_NotInitialised);  // no serial port
  EXPECT_FALSE(stack::GlobalPortTable().Get(4).inUse);
  std::int32_t id = 0;
  EXPECT_EQ(tavra->Client_Add(std::make_shared<RecordingCallback>(), id),
            CommandFailed_NotInitialised);
  // A second start is refused.
  EXPECT_EQ(tavra->Start(4, std::make_unique<stack::SimulatedSerialPort>()),
            CommandFailed_NotInitialised);
  EXPECT_FALSE(tavra->IsStarted());
}

TEST(NeverStartedTavra, OpenErrorOfThePortIsTranslated) {
  stack::GlobalPortTable().Clear();
  auto port = std::make_unique<stack::SimulatedSerialPort>();
  port->SetOpenResult(stack::kPortInUse);
  auto tavra = CTavra::Create();
  EXPECT_EQ(tavra->Start(6, std::move(port)), CommandFailed_PortInUse);
  EXPECT_FALSE(stack::GlobalPortTable().Get(6).inUse);
  std::int32_t id = 0;
  EXPECT_EQ(tavra->Client_Add(std::make_shared<RecordingCallback>(), id), CommandFailed_PortInUse);
  EXPECT_EQ(tavra->Client_Remove(1), CommandFailed_PortInUse);
}

}  // namespace
}  // namespace tavra::service
