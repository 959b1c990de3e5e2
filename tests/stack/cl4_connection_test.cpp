// Connections of the transport layer against the simulated controller.

#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "cl4_harness_support.h"
#include "server/stack/debug_trace.h"
#include "server/stack/l4_codes.h"

namespace tavra::stack::testing {
namespace {

constexpr std::uint8_t kConnect = 0xF0;

// The simulator's number for a host connection (the host's peer byte).
std::uint8_t PeerOf(Cl4Harness& h, std::int32_t connectionId) {
  for (const sim::SimConnection& c : h.sim().Connections()) {
    if (c.hostNumber == connectionId) {
      return c.ownNumber;
    }
  }
  ADD_FAILURE() << "simulator has no connection " << connectionId;
  return 0;
}

TEST(Cl4ConnectTest, AcceptedConnectionIsConfirmedWithItsNumberAndData) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const Bytes data = {1, 2, 3};
  ASSERT_EQ(h.l4().ConnectRequest(key, 61, 4, Len(data), data.data(), DefaultL4Backoff()), kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::ConnectConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->a, 61);
  EXPECT_EQ(confirm->b, 0);
  EXPECT_EQ(confirm->data, data);
  const auto sent = h.PdusOfType(kConnect);
  ASSERT_EQ(sent.size(), 1U);
  EXPECT_EQ(sent[0].number, confirm->c);
  EXPECT_EQ(sent[0].extra, 0x24);
  ASSERT_EQ(h.sim().Connections().size(), 1U);
  EXPECT_EQ(h.sim().Connections()[0].hostNumber, confirm->c);
  EXPECT_EQ(h.l4().OpenConnections(), 1);
}

TEST(Cl4ConnectTest, RefusalsEndTheRequestWithTheirResult) {
  struct Case {
    sim::ConnectPolicy policy;
    std::int32_t result;
    bool wholePdu;
  };
  for (const Case& c : {Case{sim::ConnectPolicy::Refuse, 0x22000006, true},
                        Case{sim::ConnectPolicy::RefuseOther, 0x22000008, false}}) {
    ShortTimings timings;
    Cl4Harness h;
    h.sim().SetConnectPolicy(c.policy);
    const std::int32_t key = h.AddClient();
    ASSERT_EQ(h.l4().ConnectRequest(key, 62, 4, 0, nullptr, DefaultL4Backoff()), kOk);
    const auto confirm = h.items().WaitOne(key, L4Kind::ConnectConfirm);
    ASSERT_TRUE(confirm.has_value());
    EXPECT_EQ(confirm->a, 62);
    EXPECT_EQ(confirm->b, c.result);
    const std::uint8_t n = h.PdusOfType(kConnect).at(0).number;
    if (c.wholePdu) {
      EXPECT_EQ(confirm->data, Bytes{static_cast<std::uint8_t>(0x10 | n)});
    }
    EXPECT_EQ(h.l4().OpenConnections(), 0);
  }
}

TEST(Cl4ConnectTest, FiveBusyAnswersAt500msThenControllerBusy) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  h.sim().AnswerTransportBusy(6);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(h.l4().ConnectRequest(key, 63, 4, 0, nullptr, L4Backoff{5, 500, 5, 500}), kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::ConnectConfirm);
  ASSERT_TRUE(confirm.has_value());
  // Five back-offs of 5 ticks; the first tick of each falls within its first 100 ms.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5 * (500 - 100)));
  EXPECT_EQ(confirm->a, 63);
  EXPECT_EQ(confirm->b, 0x22000007);
  const auto sent = h.PdusOfType(kConnect);
  ASSERT_EQ(sent.size(), 6U);
  EXPECT_EQ(confirm->data, Bytes{static_cast<std::uint8_t>(0xE0 | sent[0].number)});
  EXPECT_EQ(h.l4().OpenConnections(), 0);
}

TEST(Cl4ConnectTest, EleventhConnectionIsRefused) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  for (int i = 0; i < 10; ++i) {
    h.Connect(key, 4, 300 + i);
  }
  EXPECT_EQ(h.l4().ConnectRequest(key, 400, 4, 0, nullptr, DefaultL4Backoff()), kL4NoConnection);
  EXPECT_EQ(h.l4().OpenConnections(), 10);
}

TEST(Cl4ConnectTest, NumbersFromFifteenOnUseTheTwoByteHeader) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  for (int i = 1; i <= 16; ++i) {
    const std::int32_t id = h.Connect(key, 4, i);
    ASSERT_EQ(id, i);
    const Bytes bye = {static_cast<std::uint8_t>(i)};
    ASSERT_EQ(h.l4().DisconnectRequest(key, id, 1, bye.data(), DefaultL4Backoff()), kOk);
    const auto confirm = h.items().WaitFor([&](const L4Indication& item) {
      return item.kind == L4Kind::DisconnectConfirm && item.a == id;
    });
    ASSERT_EQ(confirm.size(), 1U) << i;
    EXPECT_EQ(confirm[0].data, bye);
  }
  std::vector<Bytes> connects;
  for (const Bytes& f : h.TransportFrames()) {
    if ((f.at(0) & 0xF0) == kConnect) {
      connects.push_back(f);
    }
  }
  ASSERT_EQ(connects.size(), 16U);
  EXPECT_EQ(connects[13], (Bytes{0xFE, 0x24}));
  EXPECT_EQ(connects[14], (Bytes{0xFF, 15, 0x24}));
  EXPECT_EQ(connects[15], (Bytes{0xFF, 16, 0x24}));
  EXPECT_EQ(h.l4().OpenConnections(), 0);
}

TEST(Cl4ConnectionDataTest, RequestIsConfirmedAndASecondOneWaits) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const std::int32_t id = h.Connect(key);
  const std::uint8_t peer = PeerOf(h, id);
  h.sim().SetReplyDelay(150);  // keeps the 0xA0 away while the second request is made
  const Bytes data = {7, 7};
  ASSERT_EQ(h.l4().ConnectionDataRequest(key, id, Len(data), data.data(), DefaultL4Backoff()), kOk);
  EXPECT_EQ(h.l4().ConnectionDataRequest(key, id, 0, nullptr, DefaultL4Backoff()),
            kL4RequestPending);
  const auto confirm = h.items().WaitOne(key, L4Kind::ConnectionDataConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->a, id);
  EXPECT_EQ(confirm->data, data);
  const auto sent = h.PdusOfType(0xB0);
  ASSERT_EQ(sent.size(), 1U);
  EXPECT_EQ(sent[0].number, peer);
  h.sim().SetReplyDelay(0);
  EXPECT_EQ(h.l4().ConnectionDataRequest(key, id, 0, nullptr, DefaultL4Backoff()), kOk);
  EXPECT_EQ(h.l4().ConnectionDataRequest(key, id + 1, 0, nullptr, DefaultL4Backoff()),
            kL4UnknownConnection);
}

TEST(Cl4ConnectionDataTest, ControllerRequestIsAnsweredByTheClient) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const std::int32_t id = h.Connect(key);
  const std::uint8_t peer = PeerOf(h, id);
  const Bytes data = {0x31, 0x32};
  ASSERT_TRUE(h.sim().OriginateConnectionData(static_cast<std::uint8_t>(id), data));
  const auto indication = h.items().WaitOne(key, L4Kind::ConnectionDataIndication);
  ASSERT_TRUE(indication.has_value());
  EXPECT_EQ(indication->a, id);
  EXPECT_EQ(indication->data, data);
  // Not a disconnect request: the disconnect response has nothing to answer.
  EXPECT_EQ(h.l4().DisconnectResponse(key, id, 0, nullptr, DefaultL4Backoff()), kL4NothingToAnswer);
  const Bytes answer = {0x41};
  EXPECT_EQ(h.l4().ConnectionDataResponse(key, id, Len(answer), answer.data(), DefaultL4Backoff()),
            kOk);
  EXPECT_EQ(h.l4().ConnectionDataResponse(key, id, 0, nullptr, DefaultL4Backoff()),
            kL4NothingToAnswer);
  ASSERT_TRUE(h.WaitPdus(0xA0, 1));
  EXPECT_EQ(h.PdusOfType(0xA0)[0].number, peer);
  EXPECT_EQ(h.PdusOfType(0xA0)[0].data, answer);
  EXPECT_EQ(h.l4().OpenConnections(), 1);
}

TEST(Cl4ConnectionDataTest, UnansweredControllerRequestTracesAbortsAndEndsTheConnection) {
  ShortTimings timings(300);
  std::mutex mutex;
  std::vector<std::string> traces;
  SetDebugTraceSink([&](std::string_view text) {
    std::lock_guard lock(mutex);
    traces.emplace_back(text);
  });
  {
    Cl4Harness h;
    const std::int32_t key = h.AddClient();
    const std::int32_t id = h.Connect(key);
    const std::uint8_t peer = PeerOf(h, id);
    ASSERT_TRUE(h.sim().OriginateConnectionData(static_cast<std::uint8_t>(id), Bytes{1}));
    ASSERT_TRUE(h.items().WaitOne(key, L4Kind::ConnectionDataIndication).has_value());
    const auto ended = h.items().WaitOne(key, L4Kind::DisconnectedIndication);
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->a, id);
    EXPECT_EQ(ended->b, 0x2200000D);
    ASSERT_TRUE(h.WaitPdus(0x30, 1));
    EXPECT_EQ(h.PdusOfType(0x30)[0].number, peer);
    EXPECT_EQ(h.l4().ConnectionDataResponse(key, id, 0, nullptr, DefaultL4Backoff()),
              kL4UnknownConnection);
    EXPECT_EQ(h.l4().OpenConnections(), 0);
  }
  SetDebugTraceSink({});
  std::lock_guard lock(mutex);
  EXPECT_EQ(traces, std::vector<std::string>{"CL4::Management() - CDREQ - Client has not replied"});
}

TEST(Cl4DisconnectTest, ControllerDisconnectAnsweredOrLeftUnanswered) {
  for (const bool answer : {true, false}) {
    SCOPED_TRACE(answer ? "answered" : "unanswered");
    ShortTimings timings(300);
    Cl4Harness h;
    const std::int32_t key = h.AddClient();
    const std::int32_t id = h.Connect(key);
    const std::uint8_t peer = PeerOf(h, id);
    const Bytes data = {0x55};
    ASSERT_TRUE(h.sim().OriginateDisconnect(static_cast<std::uint8_t>(id), data));
    const auto indication = h.items().WaitOne(key, L4Kind::DisconnectIndication);
    ASSERT_TRUE(indication.has_value());
    EXPECT_EQ(indication->a, id);
    EXPECT_EQ(indication->data, data);
    if (answer) {
      EXPECT_EQ(h.l4().ConnectionDataResponse(key, id, 0, nullptr, DefaultL4Backoff()),
                kL4NothingToAnswer);
      EXPECT_EQ(h.l4().DisconnectResponse(key, id, 0, nullptr, DefaultL4Backoff()), kOk);
      ASSERT_TRUE(h.WaitPdus(0x80, 1));
      EXPECT_EQ(h.PdusOfType(0x80)[0].number, peer);
      EXPECT_EQ(h.l4().OpenConnections(), 0);
      EXPECT_EQ(h.l4().DisconnectResponse(key, id, 0, nullptr, DefaultL4Backoff()),
                kL4UnknownConnection);
    } else {
      const auto ended = h.items().WaitOne(key, L4Kind::DisconnectedIndication);
      ASSERT_TRUE(ended.has_value());
      EXPECT_EQ(ended->b, 0x2200000D);
      ASSERT_TRUE(h.WaitPdus(0x20, 1));
      EXPECT_EQ(h.PdusOfType(0x20)[0].number, peer);
      EXPECT_EQ(h.l4().OpenConnections(), 0);
    }
  }
}

TEST(Cl4DisconnectTest, ClientDisconnectIsConfirmedAndASecondOneWaits) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const std::int32_t id = h.Connect(key);
  const std::uint8_t peer = PeerOf(h, id);
  h.sim().SetReplyDelay(150);
  ASSERT_EQ(h.l4().DisconnectRequest(key, id, 0, nullptr, DefaultL4Backoff()), kOk);
  EXPECT_EQ(h.l4().DisconnectRequest(key, id, 0, nullptr, DefaultL4Backoff()), kL4RequestPending);
  const auto confirm = h.items().WaitOne(key, L4Kind::DisconnectConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->a, id);
  EXPECT_EQ(h.PdusOfType(0x90).at(0).number, peer);
  EXPECT_EQ(h.l4().OpenConnections(), 0);
}

TEST(Cl4ConnectTest, ConnectRequestFromTheControllerIsRefusedAndNoClientHears) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  h.InjectPdu(Bytes{0xF3, 0x20, 1, 2});
  h.InjectPdu(Bytes{0xFF, 40, 0x20});
  ASSERT_TRUE(h.WaitPdus(0x10, 2));
  EXPECT_EQ(h.PdusOfType(0x10)[0].number, 3);
  EXPECT_EQ(h.PdusOfType(0x10)[1].number, 40);
  EXPECT_EQ(h.items().Count([key](const L4Indication& i) {
    return i.clientId == key && i.kind != L4Kind::ManagementIndication;
  }),
            0U);
  EXPECT_EQ(h.l4().OpenConnections(), 0);
}

TEST(Cl4ConnectTest, AbortFromTheControllerIsAcknowledgedAndEndsTheConnection) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const std::int32_t id = h.Connect(key);
  const std::uint8_t peer = PeerOf(h, id);
  ASSERT_TRUE(h.sim().OriginateAbort(static_cast<std::uint8_t>(id)));
  const auto ended = h.items().WaitOne(key, L4Kind::DisconnectedIndication);
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->a, id);
  EXPECT_EQ(ended->b, 0x2200000D);
  ASSERT_TRUE(h.WaitPdus(0x20, 1));
  EXPECT_EQ(h.PdusOfType(0x20)[0].number, peer);
  EXPECT_EQ(h.l4().OpenConnections(), 0);
  // An abort for no connection is acknowledged all the same.
  h.InjectPdu(Bytes{0x3F, 0x99});
  ASSERT_TRUE(h.WaitPdus(0x20, 2));
  EXPECT_EQ(h.PdusOfType(0x20)[1].number, 0x99);
}

TEST(Cl4ConnectTest, UnexpectedPdusOnAnOpenConnectionEndIt) {
  // 0x10, 0xC0, 0xE0 and 0x80 without a request they answer: Disconnected_Indication 0x0D.
  for (const std::uint8_t type : {0x10, 0xC0, 0xE0, 0x80}) {
    SCOPED_TRACE(static_cast<int>(type));
    ShortTimings timings;
    Cl4Harness h;
    const std::int32_t key = h.AddClient();
    const std::int32_t id = h.Connect(key);
    h.InjectPdu(Bytes{static_cast<std::uint8_t>(type | id)});
    const auto ended = h.items().WaitOne(key, L4Kind::DisconnectedIndication);
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->a, id);
    EXPECT_EQ(ended->b, 0x2200000D);
    EXPECT_EQ(h.l4().OpenConnections(), 0);
  }
}

TEST(Cl4ConnectTest, StrayAnswersChangeNothing) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const std::int32_t id = h.Connect(key);
  const auto n = static_cast<std::uint8_t>(id);
  // A second acceptance, a data answer without a request, an abort acknowledgement, answers
  // for unknown numbers: all ignored.
  h.InjectPdu(Bytes{static_cast<std::uint8_t>(0xD0 | n), 0x77});
  h.InjectPdu(Bytes{static_cast<std::uint8_t>(0xA0 | n)});
  h.InjectPdu(Bytes{static_cast<std::uint8_t>(0x20 | n)});
  h.InjectPdu(Bytes{0xDF, 200, 0x01});
  h.InjectPdu(Bytes{0x5F, 201});
  // Unknown numbers of 0xB0 and 0x90 are answered 0x20.
  h.InjectPdu(Bytes{0xBF, 202});
  h.InjectPdu(Bytes{0x9F, 203});
  ASSERT_TRUE(h.WaitPdus(0x20, 2));
  EXPECT_EQ(h.PdusOfType(0x20)[0].number, 202);
  EXPECT_EQ(h.PdusOfType(0x20)[1].number, 203);
  // The connection still works with its old peer byte.
  const Bytes data = {1};
  ASSERT_EQ(h.l4().ConnectionDataRequest(key, id, 1, data.data(), DefaultL4Backoff()), kOk);
  ASSERT_TRUE(h.items().WaitOne(key, L4Kind::ConnectionDataConfirm).has_value());
  EXPECT_EQ(h.items().Of(key, L4Kind::ConnectConfirm).size(), 1U);
  EXPECT_EQ(h.items().Of(key, L4Kind::DisconnectedIndication).size(), 0U);
}

TEST(Cl4ConnectTest, TransmitFailuresEndConnectsAndConnections) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const L4Backoff noL2Retry{5, 500, 0, 100};
  // A connect request whose frame is answered busy by the link: confirmed with the mapped
  // result.
  h.sim().AnswerBusy(1, 0x21);
  ASSERT_EQ(h.l4().ConnectRequest(key, 71, 4, 0, nullptr, noL2Retry), kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::ConnectConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->a, 71);
  EXPECT_EQ(confirm->b, 0x22000007);
  EXPECT_EQ(h.l4().OpenConnections(), 0);

  // A connection data request that fails: the connection ends.
  const std::int32_t id = h.Connect(key, 4, 72, noL2Retry);
  h.sim().AnswerBusy(1, 0x21);
  ASSERT_EQ(h.l4().ConnectionDataRequest(key, id, 0, nullptr, noL2Retry), kOk);
  const auto ended = h.items().WaitOne(key, L4Kind::DisconnectedIndication);
  ASSERT_TRUE(ended.has_value());
  EXPECT_EQ(ended->a, id);
  EXPECT_EQ(ended->b, 0x2200000D);

  // A disconnect request of an open connection that fails: the connection ends, and the
  // connect that was confirmed long ago is not confirmed a second time.
  const std::int32_t id2 = h.Connect(key, 4, 73, noL2Retry);
  h.sim().AnswerBusy(1, 0x21);
  ASSERT_EQ(h.l4().DisconnectRequest(key, id2, 0, nullptr, noL2Retry), kOk);
  const auto ended2 = h.items().WaitFor([&](const L4Indication& i) {
    return i.kind == L4Kind::DisconnectedIndication && i.a == id2;
  });
  ASSERT_EQ(ended2.size(), 1U);
  EXPECT_EQ(ended2[0].b, 0x2200000D);
  EXPECT_EQ(h.items().Count([](const L4Indication& i) {
    return i.kind == L4Kind::ConnectConfirm && i.a == 73;
  }),
            1U);
  EXPECT_EQ(h.l4().OpenConnections(), 0);
}

TEST(Cl4ConnectTest, LinkLossEndsOpenConnectionsAndConfirmsPendingConnects) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const std::int32_t open1 = h.Connect(key, 4, 81);
  const std::int32_t open2 = h.Connect(key, 4, 82);
  h.sim().SetConnectPolicy(sim::ConnectPolicy::Ignore);
  ASSERT_EQ(h.l4().ConnectRequest(key, 83, 4, 0, nullptr, DefaultL4Backoff()), kOk);
  ASSERT_TRUE(h.WaitPdus(kConnect, 3));
  h.sim().SetSilent(true);
  const auto ended = h.items().WaitFor(
      [](const L4Indication& i) { return i.kind == L4Kind::DisconnectedIndication; }, 2);
  ASSERT_EQ(ended.size(), 2U);
  for (const L4Indication& i : ended) {
    EXPECT_EQ(i.b, 0x22000002);
    EXPECT_TRUE(i.a == open1 || i.a == open2);
  }
  const auto confirms = h.items().WaitFor(
      [](const L4Indication& i) { return i.kind == L4Kind::ConnectConfirm && i.a == 83; });
  ASSERT_EQ(confirms.size(), 1U);
  EXPECT_EQ(confirms[0].b, 0x22000002);
  EXPECT_EQ(h.l4().OpenConnections(), 0);
}

}  // namespace
}  // namespace tavra::stack::testing
