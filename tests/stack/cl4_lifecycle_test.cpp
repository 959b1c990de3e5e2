// Start, destroy, clients, management and the common checks of the transport layer.

#include <gtest/gtest.h>

#include "cl4_harness_support.h"
#include "server/stack/l4_codes.h"
#include "shared/result_codes.h"

namespace tavra::stack::testing {
namespace {

TEST(Cl4StartTest, NotStartedOperationsReturnTheStoredError) {
  ShortTimings timings;
  Cl4Harness h(sim::SimConfig{}, false);
  std::int32_t key = 0;
  ManagementOutput out;
  EXPECT_EQ(h.l4().AddClient(key), kL4StartFailed);
  EXPECT_EQ(h.l4().RemoveClient(10), kL4StartFailed);
  EXPECT_EQ(h.l4().Management(10, CLIENT_INDEX, out), kL4StartFailed);
  EXPECT_EQ(h.l4().DataRequest(10, 2, 0, nullptr, DefaultL4Backoff(), true, 1), kL4StartFailed);
  EXPECT_EQ(h.l4().DataRequest(10, 2, 0, nullptr, DefaultL4Backoff(), false, 1), kL4StartFailed);
  EXPECT_EQ(h.l4().ConnectRequest(10, 1, 2, 0, nullptr, DefaultL4Backoff()), kL4StartFailed);
  EXPECT_FALSE(h.l4().IsLinkUp());
  EXPECT_EQ(h.l4().LinkLayer(), nullptr);
  // No route: refused; and a start is attempted only once.
  EXPECT_EQ(h.l4().Start(3, L4Route{}), kL4StartFailed);
  EXPECT_EQ(h.Start(), kL4StartFailed);
}

TEST(Cl4StartTest, StartWithoutSerialPortFails) {
  ShortTimings timings;
  CL4 l4(nullptr);
  EXPECT_EQ(l4.Start(3, [](L4Indication&&) {}), kL4StartFailed);
  std::int32_t key = 0;
  EXPECT_EQ(l4.AddClient(key), kL4StartFailed);
}

TEST(Cl4StartTest, PortOpenErrorIsStoredAndReturnedByEveryOperation) {
  ShortTimings timings;
  Cl4Harness h(sim::SimConfig{}, false);
  h.port().SetOpenResult(kPortInUse);
  EXPECT_EQ(h.Start(), kPortInUse);
  std::int32_t key = 0;
  EXPECT_EQ(h.l4().AddClient(key), kPortInUse);
  EXPECT_EQ(h.l4().DataResponse(10, 1, 0, nullptr, DefaultL4Backoff()), kPortInUse);
  EXPECT_FALSE(h.l4().IsLinkUp());
}

TEST(Cl4StartTest, ConnectResponseIsNotOffered) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  EXPECT_EQ(h.l4().ConnectResponse(key, 1, true, 0, nullptr, DefaultL4Backoff()), E_NOTIMPL);
  EXPECT_EQ(h.l4().ConnectResponse(999, 1, false, -5, nullptr, DefaultL4Backoff()), E_NOTIMPL);
}

TEST(Cl4ClientTest, TransportNumbersFollowTheClientTable) {
  ShortTimings timings;
  Cl4Harness h;
  std::vector<std::int32_t> keys;
  for (int i = 0; i < 18; ++i) {
    keys.push_back(h.AddClient());
    EXPECT_EQ(h.TransportNumber(keys.back()), i);
  }
  // The link layer has addresses for 18 clients.
  std::int32_t key = 0;
  EXPECT_EQ(h.l4().AddClient(key), kUnknownKey);
  EXPECT_EQ(h.l4().RegisteredClients(), 18);
  EXPECT_EQ(h.l4().RemoveClient(keys[3]), kOk);
  EXPECT_EQ(h.l4().RemoveClient(keys[3]), kL4UnknownClient);
  ManagementOutput out;
  EXPECT_EQ(h.l4().Management(keys[3], CLIENT_INDEX, out), kL4UnknownClient);
  const std::int32_t again = h.AddClient();
  EXPECT_EQ(h.TransportNumber(again), 3);
  ASSERT_EQ(h.l4().Management(again, CLIENT_INDEX, out), kOk);
  EXPECT_EQ(out.dataType, CLIENT_INDEX);
  EXPECT_EQ(out.dataSize, 0);
  EXPECT_TRUE(out.data.empty());
}

TEST(Cl4ClientTest, ClientsHearTheLinkStateAndManagementGoesToTheLinkLayer) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  ManagementOutput out;
  ASSERT_EQ(h.l4().Management(key, STATUS_INDICATION, out), kOk);
  const auto online = h.items().WaitOne(key, L4Kind::ManagementIndication);
  ASSERT_TRUE(online.has_value());
  EXPECT_EQ(online->a, 0x24000001);
  EXPECT_EQ(online->b, 1);
  EXPECT_EQ(online->data, (Bytes{3, 1, 2, 3, 4, 0}));  // the simulator's identity
  ASSERT_EQ(h.l4().Management(key, CONNECT_STATUS, out), kOk);
  EXPECT_EQ(out.result, STATUS_ONLINE);
  EXPECT_EQ(h.l4().Management(key + 100, CONNECT_STATUS, out), kUnknownKey);
  EXPECT_TRUE(h.l4().IsLinkUp());
}

TEST(Cl4CheckTest, CommonChecksComeInTheirOrder) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const std::int32_t unknown = key + 100;
  const Bytes big(1021, 0);
  const L4Backoff ok = DefaultL4Backoff();
  const L4Backoff badBudget{101, 500, 5, 500};
  const L4Backoff badTime{5, 10001, 5, 500};
  const L4Backoff negative{-1, -1, 5, 500};
  struct Case {
    const char* what;
    std::int32_t key;
    std::int32_t length;
    const std::uint8_t* data;
    L4Backoff backoff;
    std::int32_t rxId;
    Result expected;
  };
  const std::vector<Case> cases = {
      {"unknown key before anything else", unknown, -1, nullptr, badBudget, 0xE0, kL4UnknownClient},
      {"length before back-off", key, 1021, big.data(), badBudget, 0xE0, kL4DataTooLong},
      {"negative length", key, -1, big.data(), ok, 2, kL4DataTooLong},
      {"length without data", key, 3, nullptr, ok, 2, kL4DataTooLong},
      {"budget above 100", key, 0, nullptr, badBudget, 0xE0, kL4BackoffOutOfRange},
      {"time above 10000", key, 0, nullptr, badTime, 2, kL4BackoffOutOfRange},
      {"negative back-off", key, 0, nullptr, negative, 2, kL4BackoffOutOfRange},
      {"rx id above 0xDF", key, 0, nullptr, ok, 0xE0, kL4InvalidRxId},
      {"negative rx id", key, 0, nullptr, ok, -1, kL4InvalidRxId},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(h.l4().DataRequest(c.key, c.rxId, c.length, c.data, c.backoff, true, 1), c.expected);
    EXPECT_EQ(h.l4().ConnectRequest(c.key, 1, c.rxId, c.length, c.data, c.backoff), c.expected);
  }
  // The connection operations check the back-off only for requests.
  EXPECT_EQ(h.l4().ConnectionDataRequest(key, 1, 0, nullptr, badBudget), kL4BackoffOutOfRange);
  EXPECT_EQ(h.l4().DisconnectRequest(key, 1, 0, nullptr, badTime), kL4BackoffOutOfRange);
  EXPECT_EQ(h.l4().ConnectionDataRequest(key, 1, 0, nullptr, ok), kL4UnknownConnection);
  EXPECT_EQ(h.l4().DisconnectResponse(key, 1, 0, nullptr, badBudget), kL4UnknownConnection);
  EXPECT_EQ(h.l4().ConnectionDataResponse(key, 1, 1021, big.data(), ok), kL4DataTooLong);
  EXPECT_EQ(h.l4().DataResponse(key, 1, 0, nullptr, badBudget), kL4NothingToAnswer);
  EXPECT_EQ(h.l4().DataResponse(unknown, 1, 0, nullptr, ok), kL4UnknownClient);
  // The largest request still fits into a frame with its header.
  const Bytes largest(1020, 0x10);
  EXPECT_EQ(h.l4().DataRequest(key, 0xDF, 1020, largest.data(), ok, true, 2), kOk);
  EXPECT_EQ(h.l4().OpenTransactions(), 1);
  EXPECT_EQ(h.l4().OpenConnections(), 0);
}

TEST(Cl4ClientTest, RemovalAbortsConnectionsAndDropsTransactionsOfThatClientOnly) {
  ShortTimings timings(300);
  Cl4Harness h;
  const std::int32_t a = h.AddClient();
  const std::int32_t b = h.AddClient();
  const std::int32_t conn1 = h.Connect(a, 4, 1);
  const std::int32_t conn2 = h.Connect(a, 4, 2);
  const std::int32_t connB = h.Connect(b, 4, 3);
  h.sim().SetTransactionPolicy(sim::TransactionPolicy::Ignore);
  ASSERT_EQ(h.l4().DataRequest(a, 2, 0, nullptr, DefaultL4Backoff(), true, 11), kOk);
  ASSERT_EQ(h.l4().DataRequest(b, 2, 0, nullptr, DefaultL4Backoff(), true, 12), kOk);
  ASSERT_TRUE(h.WaitPdus(0x70, 2));
  const auto requests = h.PdusOfType(0x70);
  // A controller request waits for client a.
  const std::uint8_t controllerRequest =
      h.sim().OriginateTransaction(static_cast<std::uint8_t>(h.TransportNumber(a)), Bytes{1});
  ASSERT_TRUE(h.items().WaitOne(a, L4Kind::DataIndication).has_value());
  const std::size_t itemsOfA =
      h.items().Count([a](const L4Indication& i) { return i.clientId == a; });

  ASSERT_EQ(h.l4().RemoveClient(a), kOk);
  EXPECT_EQ(h.l4().OpenConnections(), 1);
  EXPECT_EQ(h.l4().OpenTransactions(), 1);
  // 0x30 with each local connection number.
  ASSERT_TRUE(h.WaitPdus(0x30, 2));
  EXPECT_EQ(h.PdusOfType(0x30)[0].number, conn1);
  EXPECT_EQ(h.PdusOfType(0x30)[1].number, conn2);
  // The controller answers both transactions now: only b's is still known.
  h.InjectPdu(Bytes{static_cast<std::uint8_t>(0x50 | requests[0].number), 0xAA});
  h.InjectPdu(Bytes{static_cast<std::uint8_t>(0x50 | requests[1].number), 0xBB});
  const auto confirmB = h.items().WaitOne(b, L4Kind::DataConfirm);
  ASSERT_TRUE(confirmB.has_value());
  EXPECT_EQ(confirmB->a, 12);
  EXPECT_EQ(confirmB->data, Bytes{0xBB});
  // The answer record of a stays until its time runs out; then the controller gets 0x60.
  ASSERT_TRUE(h.WaitPdus(0x60, 1));
  EXPECT_EQ(h.PdusOfType(0x60)[0].number, controllerRequest);
  EXPECT_EQ(h.items().Count([a](const L4Indication& i) { return i.clientId == a; }), itemsOfA);
  // b's connection is untouched.
  ASSERT_EQ(h.l4().ConnectionDataRequest(b, connB, 0, nullptr, DefaultL4Backoff()), kOk);
  EXPECT_TRUE(h.items().WaitOne(b, L4Kind::ConnectionDataConfirm).has_value());
}

TEST(Cl4StartTest, DestroyWithWorkInFlightEndsCleanly) {
  ShortTimings timings;
  auto h = std::make_unique<Cl4Harness>();
  const std::int32_t key = h->AddClient();
  h->sim().SetTransactionPolicy(sim::TransactionPolicy::Ignore);
  h->sim().AnswerTransportBusy(3);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(h->l4().DataRequest(key, 2, 0, nullptr, L4Backoff{5, 0, 5, 0}, true, i), kOk);
  }
  h->Connect(key);
  h.reset();  // joins every thread; nothing is left running
  SUCCEED();
}

}  // namespace
}  // namespace tavra::stack::testing
