// Bad input at the controller object with the link up, as a client sees it (translated codes):
// negative and oversized lengths, negative client, connection, answer and destination ids, on
// the paths the layer tests do not reach through CTavra (datagrams, connection and answer
// operations). Every call gets its code, nothing reaches the controller, and the link and the
// client go on working afterwards; a negative request id is the client's own and comes back.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "server/service/ctavra.h"
#include "server/service/tavra_pool.h"
#include "server/stack/port_table.h"
#include "service_test_support.h"

namespace tavra::service {
namespace {

using test::CallbackEvent;
using namespace std::chrono_literals;

constexpr int kPort = 4;

class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    stack::GlobalPortTable().Clear();
    ASSERT_EQ(m_pool.GetController(kPort, m_tavra), S_OK);
    ASSERT_EQ(m_tavra->Client_Add(m_client.callback, m_client.id), S_OK);
    ASSERT_TRUE(m_client.callback->WaitFor(
        [](const std::vector<CallbackEvent>& events) {
          return std::any_of(events.begin(), events.end(), [](const CallbackEvent& e) {
            return e.method == "Management_Indication" && e.a == STATUS_ONLINE;
          });
        },
        15s));
  }
  void TearDown() override {
    m_tavra.reset();
    stack::GlobalPortTable().Clear();
  }

  test::PortDir m_dir;
  test::PtyController m_controller{m_dir, kPort};
  test::CountingFactory m_ports;
  TavraPool m_pool{m_ports.Termios()};
  std::shared_ptr<CTavra> m_tavra;
  test::RegisteredClient m_client;
};

TEST_F(BadInput, EveryBadArgumentGetsItsCodeAndNothingReachesTheController) {
  const std::vector<std::uint8_t> big(1025, 0x5A);
  const std::uint8_t* d = big.data();
  const std::int32_t id = m_client.id;
  const std::size_t framesBefore = m_controller.Sim().FramesReceived().size();
  struct Case {
    const char* what;
    std::function<HRESULT(ITavra&)> call;
    HRESULT expected;
  };
  const std::vector<Case> cases = {
      // Lengths: a datagram may fill a frame (1024 bytes), a transaction 1020; never negative.
      {"datagram of 1025 bytes", [&](ITavra& t) { return t.Data_Request(id, 1, 1025, d, 0, 1); },
       CommandFailed_DataTooLong},
      {"datagram of length -1", [&](ITavra& t) { return t.Data_Request(id, 1, -1, d, 0, 1); },
       CommandFailed_DataTooLong},
      {"transaction of length -1", [&](ITavra& t) { return t.Data_Request(id, 1, -1, d, 1, 1); },
       CommandFailed_DataTooLong},
      {"connect with 1021 bytes", [&](ITavra& t) { return t.Connect_Request(id, 1, 1, 1021, d); },
       CommandFailed_DataTooLong},
      {"connect of length -5", [&](ITavra& t) { return t.Connect_Request(id, 1, 1, -5, d); },
       CommandFailed_DataTooLong},
      {"answer with 1021 bytes", [&](ITavra& t) { return t.Data_Response(id, 1, 1021, d); },
       CommandFailed_DataTooLong},
      {"connection data of length -1",
       [&](ITavra& t) { return t.ConnectionData_Request(id, 1, -1, d); },
       CommandFailed_DataTooLong},
      // Client ids.
      {"datagram from client -1", [&](ITavra& t) { return t.Data_Request(-1, 1, 3, d, 0, 1); },
       CommandFailed_ClientNotRegistered},
      {"transaction from client -1", [&](ITavra& t) { return t.Data_Request(-1, 1, 3, d, 1, 1); },
       CommandFailed_ClientNotRegistered},
      {"connect from client -2", [&](ITavra& t) { return t.Connect_Request(-2, 1, 1, 0, d); },
       CommandFailed_ClientNotRegistered},
      {"back-off of client -1",
       [&](ITavra& t) { return t.Management_SetupBackoff(-1, 1, 100, 1, 100); },
       CommandFailed_ClientNotRegistered},
      {"removing client -1", [&](ITavra& t) { return t.Client_Remove(-1); },
       CommandFailed_ClientNotRegistered},
      // Destination, connection and answer ids.
      {"transaction to entity -1", [&](ITavra& t) { return t.Data_Request(id, -1, 3, d, 1, 1); },
       CommandFailed_InvalidRxId},
      {"connect to entity -1", [&](ITavra& t) { return t.Connect_Request(id, 1, -1, 3, d); },
       CommandFailed_InvalidRxId},
      {"connect to entity 224", [&](ITavra& t) { return t.Connect_Request(id, 1, 224, 3, d); },
       CommandFailed_InvalidRxId},
      {"data on connection -1", [&](ITavra& t) { return t.ConnectionData_Request(id, -1, 3, d); },
       CommandFailed_UnknownConnection},
      {"disconnect of connection -1", [&](ITavra& t) { return t.Disconnect_Request(id, -1, 3, d); },
       CommandFailed_UnknownConnection},
      {"answer to request -1", [&](ITavra& t) { return t.Data_Response(id, -1, 3, d); },
       CommandFailed_NoPendingIndication},
      {"disconnect answer on connection -1",
       [&](ITavra& t) { return t.Disconnect_Response(id, -1, 3, d); },
       CommandFailed_UnknownConnection},
      {"connection data answer on connection -1",
       [&](ITavra& t) { return t.ConnectionData_Response(id, -1, 3, d); },
       CommandFailed_UnknownConnection},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(*m_tavra), c.expected);
  }
  EXPECT_EQ(m_controller.Sim().FramesReceived().size(), framesBefore);

  // The client and the link go on; a negative request id is the client's own cookie.
  ASSERT_EQ(m_tavra->Data_Request(id, 1, 3, d, 1, -7), S_OK);
  const bool confirmed = m_client.callback->WaitFor(
      [](const std::vector<CallbackEvent>& events) {
        return std::any_of(events.begin(), events.end(), [](const CallbackEvent& e) {
          return e.method == "Data_Confirm" && e.a == -7 && e.b == S_OK;
        });
      },
      15s);
  EXPECT_TRUE(confirmed);
  EXPECT_TRUE(m_tavra->IsLinkUp());
}

}  // namespace
}  // namespace tavra::service
