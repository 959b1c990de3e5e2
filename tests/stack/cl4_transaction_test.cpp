// Datagrams and transactions of the transport layer against the simulated controller.

#include <gtest/gtest.h>

#include <chrono>

#include "cl4_harness_support.h"
#include "server/stack/l4_codes.h"

namespace tavra::stack::testing {
namespace {

constexpr std::uint8_t kType70 = 0x70;

bool IsConfirm(const L4Indication& i, std::int32_t key, std::int32_t requestId) {
  return i.clientId == key && i.kind == L4Kind::DataConfirm && i.a == requestId;
}

TEST(Cl4DatagramTest, ConfirmCarriesRequestIdAndMappedLinkResult) {
  ShortTimings timings;
  sim::SimConfig config;
  config.extraAddresses = {0x25};
  Cl4Harness h(config);
  const std::int32_t key = h.AddClient();
  const Bytes data = {1, 2, 3};
  struct Case {
    std::int32_t rxId;
    std::int32_t requestId;
    std::int32_t expected;
  };
  // 0x25 accepts the frame; 0x26 does not exist (0x80 -> 258 -> rejected).
  for (const Case& c : {Case{5, 901, 0}, Case{6, 902, 0x22000006}}) {
    ASSERT_EQ(h.l4().DataRequest(key, c.rxId, Len(data), data.data(), DefaultL4Backoff(), false,
                                 c.requestId),
              kOk);
    const auto confirm =
        h.items().WaitFor([&](const L4Indication& i) { return IsConfirm(i, key, c.requestId); });
    ASSERT_EQ(confirm.size(), 1U) << c.rxId;
    EXPECT_EQ(confirm[0].b, c.expected) << c.rxId;
  }
  // No transport header: the frame to 0x25 carries the data as it is, from the client.
  bool seen = false;
  for (const sim::ObservedFrame& f : h.sim().FramesReceived()) {
    if (f.destination == 0x25) {
      EXPECT_EQ(f.source, h.LinkAddress(key));
      EXPECT_EQ(f.data, data);
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
}

TEST(Cl4DatagramTest, FrameToClientAddressBecomesDataIndicationWithSenderNumber) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const Bytes data = {9, 8, 7};
  h.sim().SendFrame(h.LinkAddress(key), 0x27, data);
  const auto item = h.items().WaitOne(key, L4Kind::DataIndication);
  ASSERT_TRUE(item.has_value());
  EXPECT_EQ(item->a, 0);
  EXPECT_EQ(item->b, 7);
  EXPECT_EQ(item->c, 0);
  EXPECT_EQ(item->data, data);
}

TEST(Cl4DatagramTest, NegativeOrMissingDataIsRefusedBeforeAnythingIsSent) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const Bytes data = {1};
  EXPECT_EQ(h.l4().DataRequest(key, 5, -1, data.data(), DefaultL4Backoff(), false, 1),
            kL4DataTooLong);
  EXPECT_EQ(h.l4().DataRequest(key, 5, 4, nullptr, DefaultL4Backoff(), false, 1), kL4DataTooLong);
  EXPECT_EQ(h.l4().DataRequest(key, 5, 1025, data.data(), DefaultL4Backoff(), false, 1),
            kDataTooLong);
  EXPECT_EQ(h.items().Of(key, L4Kind::DataConfirm).size(), 0U);
}

TEST(Cl4TransactionTest, AnswerGivesConfirmWithDataAndDestination) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const Bytes request = {0x10, 0x02, 0x03, 0x44};
  ASSERT_EQ(h.l4().DataRequest(key, 2, Len(request), request.data(), DefaultL4Backoff(), true, 55),
            kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::DataConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->a, 55);
  EXPECT_EQ(confirm->b, 0);
  EXPECT_EQ(confirm->c, 2);
  EXPECT_EQ(confirm->data, request);  // the simulator echoes
  const auto sent = h.PdusOfType(kType70);
  ASSERT_EQ(sent.size(), 1U);
  EXPECT_EQ(sent[0].extra, 0x22);
  EXPECT_EQ(sent[0].data, request);
  EXPECT_EQ(h.l4().OpenTransactions(), 0);
}

TEST(Cl4TransactionTest, RefusalGivesRejectedWithTheWholePdu) {
  ShortTimings timings;
  Cl4Harness h;
  h.sim().SetTransactionPolicy(sim::TransactionPolicy::Refuse);
  const std::int32_t key = h.AddClient();
  ASSERT_EQ(h.l4().DataRequest(key, 3, 0, nullptr, DefaultL4Backoff(), true, 8), kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::DataConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->b, 0x22000006);
  const auto sent = h.PdusOfType(kType70);
  ASSERT_EQ(sent.size(), 1U);
  EXPECT_EQ(confirm->data, Bytes{static_cast<std::uint8_t>(sent[0].number)});  // 0x00 | N
}

TEST(Cl4TransactionTest, FiveBusyAnswersAt500msThenControllerBusy) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  h.sim().AnswerTransportBusy(6);
  const L4Backoff backoff{5, 500, 5, 500};
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(h.l4().DataRequest(key, 2, 0, nullptr, backoff, true, 31), kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::DataConfirm);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->a, 31);
  EXPECT_EQ(confirm->b, 0x22000007);
  // Sent once and again after each of the five busy answers, with the same request number.
  const auto sent = h.PdusOfType(kType70);
  ASSERT_EQ(sent.size(), 6U);
  for (const sim::ObservedPdu& pdu : sent) {
    EXPECT_EQ(pdu.number, sent[0].number);
  }
  // Five back-offs of 5 ticks; the first tick of each falls within its first 100 ms.
  EXPECT_GE(elapsed, std::chrono::milliseconds(5 * (500 - 100)));
  EXPECT_EQ(h.l4().OpenTransactions(), 0);
}

TEST(Cl4TransactionTest, BusyAnswersWithinTheBudgetEndInTheAnswer) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  h.sim().AnswerTransportBusy(3);
  const Bytes request = {4, 5};
  ASSERT_EQ(
      h.l4().DataRequest(key, 2, Len(request), request.data(), L4Backoff{3, 100, 5, 500}, true, 32),
      kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::DataConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->b, 0);
  EXPECT_EQ(confirm->data, request);  // the data is sent again each time
  EXPECT_EQ(h.PdusOfType(kType70).size(), 4U);
}

TEST(Cl4TransactionTest, TwentyFirstOpenTransactionIsRefusedAndLinkLossEndsAll) {
  ShortTimings timings;
  Cl4Harness h;
  h.sim().SetTransactionPolicy(sim::TransactionPolicy::Ignore);
  const std::int32_t a = h.AddClient();
  const std::int32_t b = h.AddClient();
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(
        h.l4().DataRequest(i % 2 == 0 ? a : b, 2, 0, nullptr, DefaultL4Backoff(), true, 100 + i),
        kOk)
        << i;
  }
  EXPECT_EQ(h.l4().DataRequest(a, 2, 0, nullptr, DefaultL4Backoff(), true, 200), kL4NoTransaction);
  EXPECT_EQ(h.l4().OpenTransactions(), 20);
  ASSERT_TRUE(h.WaitPdus(kType70, 20));

  // A controller request waits for client b's answer when the link goes.
  h.sim().OriginateTransaction(static_cast<std::uint8_t>(h.TransportNumber(b)), Bytes{1});
  const auto indication = h.items().WaitOne(b, L4Kind::DataIndication);
  ASSERT_TRUE(indication.has_value());
  EXPECT_EQ(h.l4().PendingAnswers(), 1);

  h.sim().SetSilent(true);
  const auto confirms =
      h.items().WaitFor([](const L4Indication& i) { return i.kind == L4Kind::DataConfirm; }, 20);
  ASSERT_EQ(confirms.size(), 20U);
  for (const L4Indication& c : confirms) {
    EXPECT_EQ(c.b, 0x22000002);
    EXPECT_EQ(c.c, 2);
  }
  EXPECT_EQ(h.l4().OpenTransactions(), 0);
  EXPECT_EQ(h.l4().PendingAnswers(), 0);
  EXPECT_EQ(h.l4().DataResponse(b, indication->a, 0, nullptr, DefaultL4Backoff()),
            kL4NothingToAnswer);
  // Every client hears that the link is gone.
  for (std::int32_t key : {a, b}) {
    const auto offline = h.items().WaitFor([key](const L4Indication& i) {
      return i.clientId == key && i.kind == L4Kind::ManagementIndication && i.a == 0x24000003;
    });
    ASSERT_EQ(offline.size(), 1U);
    EXPECT_EQ(offline[0].b, 0);
  }
}

TEST(Cl4TransactionTest, NumbersFromFifteenOnUseTheTwoByteHeader) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  for (int i = 1; i <= 16; ++i) {
    const Bytes request = {static_cast<std::uint8_t>(i)};
    ASSERT_EQ(h.l4().DataRequest(key, 2, 1, request.data(), DefaultL4Backoff(), true, i), kOk);
    const auto confirm =
        h.items().WaitFor([&](const L4Indication& item) { return IsConfirm(item, key, i); });
    ASSERT_EQ(confirm.size(), 1U) << i;
    EXPECT_EQ(confirm[0].b, 0);
    EXPECT_EQ(confirm[0].data, request);  // answers with 0x5F N were parsed too
  }
  const auto frames = h.TransportFrames();
  ASSERT_EQ(frames.size(), 16U);
  EXPECT_EQ(frames[13], (Bytes{0x7E, 0x22, 14}));  // number 14: one byte
  EXPECT_EQ(frames[14], (Bytes{0x7F, 15, 0x22, 15}));
  EXPECT_EQ(frames[15], (Bytes{0x7F, 16, 0x22, 16}));
}

TEST(Cl4ControllerRequestTest, RequestForTransportNumberWithoutClientIsRefused) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  ASSERT_EQ(h.TransportNumber(key), 0);
  // Transport number 7 has no client; 0xDF + 0x20 wraps outside the table.
  const std::uint8_t n1 = h.sim().OriginateTransaction(7, Bytes{1, 2});
  ASSERT_TRUE(h.WaitPdus(0x00, 1));
  h.InjectPdu(Bytes{0x7F, 200, 0xFF, 3});
  ASSERT_TRUE(h.WaitPdus(0x00, 2));
  const auto refusals = h.PdusOfType(0x00);
  EXPECT_EQ(refusals[0].number, n1);
  EXPECT_EQ(refusals[1].number, 200);
  EXPECT_EQ(h.items().Of(key, L4Kind::DataIndication).size(), 0U);
  EXPECT_EQ(h.l4().PendingAnswers(), 0);
}

TEST(Cl4ControllerRequestTest, ClientAnswerGoesBackAsTransactionAnswerOnce) {
  ShortTimings timings;
  Cl4Harness h;
  h.AddClient();
  const std::int32_t key = h.AddClient();
  const Bytes request = {0xAB, 0xCD};
  const std::uint8_t n =
      h.sim().OriginateTransaction(static_cast<std::uint8_t>(h.TransportNumber(key)), request);
  const auto indication = h.items().WaitOne(key, L4Kind::DataIndication);
  ASSERT_TRUE(indication.has_value());
  EXPECT_EQ(indication->b, n);
  EXPECT_EQ(indication->c, 1);
  EXPECT_EQ(indication->data, request);
  EXPECT_GT(indication->a, 0);
  const Bytes answer = {0x01, 0x02, 0x03};
  EXPECT_EQ(h.l4().DataResponse(key, indication->a + 1, 0, nullptr, DefaultL4Backoff()),
            kL4NothingToAnswer);
  EXPECT_EQ(h.l4().DataResponse(key, indication->a, Len(answer), answer.data(), DefaultL4Backoff()),
            kOk);
  EXPECT_EQ(h.l4().DataResponse(key, indication->a, 0, nullptr, DefaultL4Backoff()),
            kL4NothingToAnswer);
  ASSERT_TRUE(h.WaitPdus(0x50, 1));
  const auto answers = h.PdusOfType(0x50);
  EXPECT_EQ(answers[0].number, n);
  EXPECT_EQ(answers[0].data, answer);
}

TEST(Cl4ControllerRequestTest, UnansweredRequestGetsBusyAfterTimeoutAndLateAnswerFails) {
  ShortTimings timings(300);
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const auto start = std::chrono::steady_clock::now();
  const std::uint8_t n =
      h.sim().OriginateTransaction(static_cast<std::uint8_t>(h.TransportNumber(key)), Bytes{5});
  const auto indication = h.items().WaitOne(key, L4Kind::DataIndication);
  ASSERT_TRUE(indication.has_value());
  ASSERT_TRUE(h.WaitPdus(0x60, 1));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
  EXPECT_EQ(h.PdusOfType(0x60)[0].number, n);
  EXPECT_EQ(h.l4().DataResponse(key, indication->a, 0, nullptr, DefaultL4Backoff()),
            kL4NothingToAnswer);
  EXPECT_EQ(h.PdusOfType(0x50).size(), 0U);
}

TEST(Cl4ControllerRequestTest, WhenAllAnswerRecordsWaitTheControllerIsToldBusy) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  const auto transport = static_cast<std::uint8_t>(h.TransportNumber(key));
  for (int i = 0; i < 20; ++i) {
    h.sim().OriginateTransaction(transport, Bytes{static_cast<std::uint8_t>(i)});
  }
  ASSERT_EQ(h.items()
                .WaitFor(
                    [key](const L4Indication& i) {
                      return i.clientId == key && i.kind == L4Kind::DataIndication;
                    },
                    20)
                .size(),
            20U);
  EXPECT_EQ(h.l4().PendingAnswers(), 20);
  const std::uint8_t extra = h.sim().OriginateTransaction(transport, Bytes{99});
  ASSERT_TRUE(h.WaitPdus(0x60, 1));
  EXPECT_EQ(h.PdusOfType(0x60)[0].number, extra);
  // The 21st request never reached the client with a response id that matches nothing.
  EXPECT_EQ(h.items().Of(key, L4Kind::DataIndication).size(), 20U);
  // Every one of the 20 can still be answered.
  for (const L4Indication& i : h.items().Of(key, L4Kind::DataIndication)) {
    EXPECT_EQ(h.l4().DataResponse(key, i.a, 0, nullptr, DefaultL4Backoff()), kOk);
  }
  EXPECT_EQ(h.l4().PendingAnswers(), 0);
}

TEST(Cl4TransactionTest, TransmitFailureOfTheRequestIsConfirmedWithTheMappedResult) {
  ShortTimings timings;
  Cl4Harness h;
  const std::int32_t key = h.AddClient();
  // The controller's link layer answers the 0x70 frame busy; with an L2 budget of 0 the job
  // fails at once with 259.
  h.sim().AnswerBusy(1, 0x21);
  ASSERT_EQ(h.l4().DataRequest(key, 2, 0, nullptr, L4Backoff{5, 500, 0, 100}, true, 41), kOk);
  const auto confirm = h.items().WaitOne(key, L4Kind::DataConfirm);
  ASSERT_TRUE(confirm.has_value());
  EXPECT_EQ(confirm->a, 41);
  EXPECT_EQ(confirm->b, 0x22000007);
  EXPECT_EQ(h.l4().OpenTransactions(), 0);
}

}  // namespace
}  // namespace tavra::stack::testing
