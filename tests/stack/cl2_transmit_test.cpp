// CL2's transmit path on a simulated port with a scripted far end: retransmission, wrong
// acknowledgements, busy back-off, transmit results, slot order, flush at loss of the link,
// answers to received frames, the address table and the checks of Send.

#include <gtest/gtest.h>

#include <algorithm>

#include "cl2_support.h"
#include "server/stack/server_settings.h"

namespace tavra::stack::cl2test {
namespace {

class Cl2TransmitTest : public Cl2Test {};

constexpr std::uint8_t kDataDestination = 0x22;  // destination number 2

AckAction DataRule(const HostWrite& f, AckAction action) {
  return f.destination == kDataDestination ? action : AckAction::Accept;
}

std::vector<HostWrite> WritesTo(const std::vector<HostWrite>& writes, std::uint8_t destination) {
  std::vector<HostWrite> out;
  for (const auto& w : writes) {
    if (!w.isAck && w.destination == destination) {
      out.push_back(w);
    }
  }
  return out;
}

bool Contains(const std::vector<HostWrite>& writes, std::uint8_t destination, std::size_t n) {
  return WritesTo(writes, destination).size() >= n;
}

// --- retransmission ---

TEST_F(Cl2TransmitTest, NeverAcknowledgedFrameIsWrittenOnePlusRetransmissionsTimes) {
  for (const int retransmissions : {0, 1, 3}) {
    SCOPED_TRACE(retransmissions);
    TearDown();
    SetUp();
    ServerSettings().Set(Setting::L2_Retransmissions, retransmissions);
    ServerSettings().Set(Setting::L2_RetransmissionTime, 150);
    ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 60000);
    m_farEnd->SetAckRule([](const HostWrite& f, int) { return DataRule(f, AckAction::NoAck); });
    Start();
    const std::int32_t client = AddClient();
    ASSERT_TRUE(WaitLinkUp());
    ASSERT_EQ(m_cl2->Send(Job(client, 77, {0xAB, 0x02}, 2)), kOk);
    EXPECT_EQ(WaitResult(77), kTxNoAcknowledgement);
    const auto frames = WritesTo(m_farEnd->Writes(), kDataDestination);
    ASSERT_EQ(frames.size(), static_cast<std::size_t>(1 + retransmissions));
    for (std::size_t i = 0; i < frames.size(); ++i) {
      EXPECT_EQ(frames[i].sequence, frames[0].sequence);
      EXPECT_EQ(frames[i].data, (std::vector<std::uint8_t>{0xAB, 0x02}));
      EXPECT_EQ(frames[i].source, 0x40);
      if (i > 0) {
        const auto gap = frames[i].at - frames[i - 1].at;
        EXPECT_GE(gap, milliseconds(140));
        EXPECT_LE(gap, milliseconds(600));
      }
    }
    // The link is lost: offline to CL4 and the client after the result.
    ASSERT_TRUE(WaitLinkDown());
    ASSERT_TRUE(m_log->WaitFor(
        [](const auto& all) { return MessageLog::Count(all, kL2KindLinkState, kLinkOffline) == 2; },
        milliseconds(2000)));
    const auto messages = m_log->All();
    const auto result = std::find_if(messages.begin(), messages.end(),
                                     [](const auto& m) { return m.kind == kL2KindTransmitResult; });
    const auto offline = std::find_if(messages.begin(), messages.end(),
                                      [](const auto& m) { return m.code == kLinkOffline; });
    EXPECT_LT(result - messages.begin(), offline - messages.begin());
    EXPECT_EQ(result->ownerKey, client);
  }
}

TEST_F(Cl2TransmitTest, WrongSequenceAcknowledgementRetransmitsAtOnce) {
  ServerSettings().Set(Setting::L2_RetransmissionTime, 2000);
  m_farEnd->SetAckRule([](const HostWrite& f, int attempt) {
    return DataRule(f, attempt == 1 ? AckAction::WrongSequence : AckAction::Accept);
  });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_EQ(m_cl2->Send(Job(client, 5, {1, 2, 3}, 2)), kOk);
  EXPECT_EQ(WaitResult(5), kTxAccepted);
  const auto frames = WritesTo(m_farEnd->Writes(), kDataDestination);
  ASSERT_EQ(frames.size(), 2U);
  EXPECT_EQ(frames[0].sequence, frames[1].sequence);
  EXPECT_LT(frames[1].at - frames[0].at, milliseconds(500));  // not after the 2 s wait
  const auto words = m_cl2->Statistics();
  EXPECT_EQ(words[3], 1U);  // one retransmission
  EXPECT_EQ(words[4], 0U);
  EXPECT_EQ(words[15], 0U);
}

TEST_F(Cl2TransmitTest, OnlyWrongSequenceAcknowledgementsGive261AndKeepTheLink) {
  m_farEnd->SetAckRule(
      [](const HostWrite& f, int) { return DataRule(f, AckAction::WrongSequence); });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_EQ(m_cl2->Send(Job(client, 6, {9}, 2)), kOk);
  EXPECT_EQ(WaitResult(6), kTxNotWritten);
  EXPECT_EQ(WritesTo(m_farEnd->Writes(), kDataDestination).size(), 4U);
  EXPECT_TRUE(m_cl2->IsLinkUp());
  const auto words = m_cl2->Statistics();
  EXPECT_EQ(words[3], 3U);
  EXPECT_EQ(words[4], 1U);
  EXPECT_EQ(words[15], 1U);
  EXPECT_EQ(words[16], 1U);
  EXPECT_EQ(words[17], 0U);
}

TEST_F(Cl2TransmitTest, AcknowledgementCodesAndWriteErrorsGiveTheirResults) {
  struct Case {
    AckAction action;
    Result writeResult;
    std::int32_t expected;
  };
  const Case cases[] = {
      {AckAction::Accept, kOk, kTxAccepted},
      {AckAction::NoSuchAddress, kOk, kTxNoSuchDestination},
      {AckAction::TooLong, kOk, kTxTooLong},
      {AckAction::Busy, kOk, kTxBusy},  // budget 0: one write, then 259
      {AckAction::Accept, kWriteTimeout, kTxNotWritten},
      {AckAction::Accept, kWriteFailed, kTxOther},
  };
  auto action = std::make_shared<std::atomic<AckAction>>(AckAction::Accept);
  m_farEnd->SetAckRule([action](const HostWrite& f, int) { return DataRule(f, action->load()); });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  std::int32_t cookie = 100;
  for (const auto& c : cases) {
    SCOPED_TRACE(cookie);
    action->store(c.action);
    m_port->SetWriteResult(c.writeResult);
    ASSERT_EQ(m_cl2->Send(Job(client, cookie, {0x42}, 2)), kOk);
    EXPECT_EQ(WaitResult(cookie), c.expected);
    m_port->SetWriteResult(kOk);
    ++cookie;
  }
  EXPECT_TRUE(m_cl2->IsLinkUp());
  const auto messages = m_log->All();
  for (const auto& m : messages) {
    if (m.kind == kL2KindTransmitResult) {
      EXPECT_EQ(m.ownerKey, client);
      EXPECT_TRUE(m.data.empty());
    }
  }
}

// --- busy back-off ---

TEST_F(Cl2TransmitTest, BusyWithBudgetFiveWritesFiveTimesHalfASecondApart) {
  m_farEnd->SetAckRule([](const HostWrite& f, int) { return DataRule(f, AckAction::Busy); });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_EQ(m_cl2->Send(Job(client, 9, {0x55}, 2, 5, 500)), kOk);
  EXPECT_EQ(WaitResult(9, milliseconds(6000)), kTxBusy);
  const auto frames = WritesTo(m_farEnd->Writes(), kDataDestination);
  ASSERT_EQ(frames.size(), 5U);
  for (std::size_t i = 1; i < frames.size(); ++i) {
    const auto gap = frames[i].at - frames[i - 1].at;
    EXPECT_GE(gap, milliseconds(380)) << i;  // five 100-ms ticks, the first one partial
    EXPECT_LE(gap, milliseconds(900)) << i;
    // Every send after a back-off takes the next sequence number.
    EXPECT_EQ(frames[i].sequence, (frames[i - 1].sequence + 1) & 0x1F) << i;
  }
  // Busy answers are not retransmissions.
  EXPECT_EQ(m_cl2->Statistics()[3], 0U);
}

TEST_F(Cl2TransmitTest, JobInBackoffStaysInItsSlotWhenTheLinkIsLost) {
  ServerSettings().Set(Setting::L2_RetransmissionTime, 100);
  ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 300);
  // Job A is answered busy once, then accepted. Every other data frame is never acknowledged.
  auto aWrites = std::make_shared<std::atomic<int>>(0);
  m_farEnd->SetAckRule([aWrites](const HostWrite& f, int) {
    if (f.destination != kDataDestination) {
      return AckAction::Accept;
    }
    if (f.data == std::vector<std::uint8_t>{0xA}) {
      return aWrites->fetch_add(1) == 0 ? AckAction::Busy : AckAction::Accept;
    }
    return AckAction::NoAck;
  });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_EQ(m_cl2->Send(Job(client, 1, {0xA}, 2, 3, 1000)), kOk);  // A: waits 10 ticks
  ASSERT_TRUE(m_farEnd->WaitFor([](const auto& w) { return Contains(w, kDataDestination, 1); },
                                milliseconds(2000)));
  ASSERT_EQ(m_cl2->Send(Job(client, 2, {0xB}, 2)), kOk);  // B: never acknowledged
  ASSERT_TRUE(m_farEnd->WaitFor([](const auto& w) { return Contains(w, kDataDestination, 2); },
                                milliseconds(2000)));
  ASSERT_EQ(m_cl2->Send(Job(client, 3, {0xC}, 2)), kOk);  // queued behind B
  ASSERT_EQ(m_cl2->Send(Job(client, 4, {0xD}, 2)), kOk);
  EXPECT_EQ(WaitResult(2), kTxNoAcknowledgement);
  EXPECT_EQ(WaitResult(3), kTxNoAcknowledgement);
  EXPECT_EQ(WaitResult(4), kTxNoAcknowledgement);
  // D never went out: the flush took it from the queue.
  EXPECT_TRUE(m_farEnd->FramesWithPayload(std::vector<std::uint8_t>{0xD}).empty());
  // A went out again only after the link was back.
  EXPECT_EQ(WaitResult(1, milliseconds(5000)), kTxAccepted);
  const auto writes = m_farEnd->Writes();
  const auto aFrames = m_farEnd->FramesWithPayload(std::vector<std::uint8_t>{0xA});
  ASSERT_EQ(aFrames.size(), 2U);
  const auto connects = m_farEnd->ManagementFrames(kCmdConnect);
  ASSERT_EQ(connects.size(), 2U);
  EXPECT_GT(aFrames[1].at, connects[1].at);
  EXPECT_EQ(MessageLog::Count(m_log->All(), kL2KindLinkState, kLinkOnline), 4);
}

// --- slot order and owners ---

TEST_F(Cl2TransmitTest, ManagementSlotGoesBeforeQueuedJobs) {
  ServerSettings().Set(Setting::L2_NoActivityTime, 200);
  ServerSettings().Set(Setting::L2_RetransmissionTime, 800);
  // X is acknowledged only on its second write; meanwhile the idle time runs out.
  m_farEnd->SetAckRule([](const HostWrite& f, int attempt) {
    return f.data == std::vector<std::uint8_t>{0x01} && attempt == 1 ? AckAction::NoAck
                                                                     : AckAction::Accept;
  });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_EQ(m_cl2->Send(Job(client, 1, {0x01}, 2)), kOk);
  ASSERT_EQ(m_cl2->Send(Job(client, 2, {0x02}, 2)), kOk);
  EXPECT_EQ(WaitResult(1), kTxAccepted);
  EXPECT_EQ(WaitResult(2), kTxAccepted);
  const auto frames = m_farEnd->DataFrames();
  std::size_t lastX = 0;
  std::size_t y = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].data == std::vector<std::uint8_t>{0x01}) {
      lastX = i;
    }
    if (frames[i].data == std::vector<std::uint8_t>{0x02}) {
      y = i;
    }
  }
  ASSERT_GT(y, lastX + 1);
  EXPECT_TRUE(frames[lastX + 1].IsManagement(kCmdKeepAlive));
}

TEST_F(Cl2TransmitTest, JobOfUnregisteredOwnerIsDroppedWithoutResult) {
  ServerSettings().Set(Setting::L2_RetransmissionTime, 300);
  m_farEnd->SetAckRule([](const HostWrite& f, int attempt) {
    return f.data == std::vector<std::uint8_t>{0x01} && attempt == 1 ? AckAction::NoAck
                                                                     : AckAction::Accept;
  });
  const auto keys = StartWithClients(2);
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_EQ(m_cl2->Send(Job(keys[0], 1, {0x01}, 2)), kOk);  // keeps the transmitter busy
  ASSERT_EQ(m_cl2->Send(Job(keys[1], 2, {0x02}, 2)), kOk);
  ASSERT_EQ(m_cl2->Send(Job(keys[0], 3, {0x03}, 2)), kOk);
  ASSERT_EQ(m_cl2->UnregisterClient(keys[1]), kOk);
  EXPECT_EQ(WaitResult(1), kTxAccepted);
  EXPECT_EQ(WaitResult(3), kTxAccepted);
  EXPECT_TRUE(m_farEnd->FramesWithPayload(std::vector<std::uint8_t>{0x02}).empty());
  for (const auto& m : m_log->All()) {
    EXPECT_FALSE(m.kind == kL2KindTransmitResult && m.value == 2);
  }
}

TEST_F(Cl2TransmitTest, AddressTableHoldsEighteenClients) {
  Start();
  std::vector<std::int32_t> keys;
  keys.reserve(18);
  for (int i = 0; i < 18; ++i) {
    keys.push_back(AddClient());
  }
  for (int i = 0; i < 18; ++i) {
    EXPECT_EQ(keys[i], 10 + i);
  }
  std::int32_t key = -5;
  EXPECT_EQ(m_cl2->RegisterClient(key), kUnknownKey);  // the 19th
  EXPECT_EQ(key, -5);
  // Freed entries are reused with the lowest free address; keys are never reused.
  ASSERT_EQ(m_cl2->UnregisterClient(keys[3]), kOk);  // address 0x43
  ASSERT_EQ(m_cl2->UnregisterClient(keys[1]), kOk);  // address 0x41
  EXPECT_EQ(m_cl2->UnregisterClient(keys[1]), kUnknownKey);
  EXPECT_EQ(m_cl2->UnregisterClient(kKeyTransport), kUnknownKey);
  EXPECT_EQ(m_cl2->UnregisterClient(kKeyLinkManagement), kUnknownKey);
  ASSERT_EQ(m_cl2->RegisterClient(key), kOk);
  EXPECT_EQ(key, 28);
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(key, 0x24000016, out), kOk);
  EXPECT_EQ(out.data[0], 0x21);  // 0x41 - 0x20
  ASSERT_EQ(m_cl2->RegisterClient(key), kOk);
  EXPECT_EQ(key, 29);
  ASSERT_EQ(m_cl2->ManagementRequest(key, 0x24000016, out), kOk);
  EXPECT_EQ(out.data[0], 0x23);
  EXPECT_EQ(m_cl2->RegisterClient(key), kUnknownKey);
}

// --- received frames ---

TEST_F(Cl2TransmitTest, DataWhileLinkDownIsAcknowledgedButNotDelivered) {
  m_farEnd->SetConnectRefused(true);
  Start();
  const std::vector<std::uint8_t> data{0x70, 0x02, 0x41};
  m_farEnd->SendToHost(0x21, 0x21, data, 5);
  ASSERT_TRUE(m_farEnd->WaitFor(
      [](const auto& w) {
        for (const auto& f : w) {
          if (f.isAck && f.ackByte == 0x45) {
            return true;
          }
        }
        return false;
      },
      milliseconds(2000)));
  ASSERT_TRUE(m_port->WaitUntilReceived(1000));
  EXPECT_EQ(MessageLog::Count(m_log->All(), kL2KindReceivedData), 0);
  // Once the link is up the same kind of frame is delivered.
  m_farEnd->SetConnectRefused(false);
  ASSERT_TRUE(WaitLinkUp());
  m_farEnd->SendToHost(0x21, 0x23, data, 9);
  ASSERT_TRUE(m_log->WaitFor(
      [](const auto& all) { return MessageLog::Count(all, kL2KindReceivedData) == 1; },
      milliseconds(2000)));
  // The online indications may be logged after it: the link-up flag goes up first.
  const auto messages = m_log->All();
  const auto found = std::find_if(messages.begin(), messages.end(), [](const auto& message) {
    return message.kind == kL2KindReceivedData;
  });
  ASSERT_NE(found, messages.end());
  const auto& m = *found;
  EXPECT_EQ(m.ownerKey, kKeyTransport);
  EXPECT_EQ(m.type, 3);
  EXPECT_EQ(m.code, 0);
  EXPECT_EQ(m.value, 0);
  EXPECT_EQ(m.data, data);
}

TEST_F(Cl2TransmitTest, OnlyTheLatestAnswerIsSentAfterAnAcknowledgementWait) {
  ServerSettings().Set(Setting::L2_RetransmissionTime, 200);
  m_farEnd->SetAckRule([](const HostWrite& f, int attempt) {
    return DataRule(f, attempt < 3 ? AckAction::NoAck : AckAction::Accept);
  });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_EQ(m_cl2->Send(Job(client, 1, {0x01}, 2)), kOk);
  ASSERT_TRUE(m_farEnd->WaitFor([](const auto& w) { return Contains(w, kDataDestination, 1); },
                                milliseconds(2000)));
  const std::size_t before = m_farEnd->Writes().size();
  for (std::uint8_t seq = 11; seq <= 13; ++seq) {
    m_farEnd->SendToHost(0x21, 0x21, std::vector<std::uint8_t>{seq}, seq);
  }
  EXPECT_EQ(WaitResult(1), kTxAccepted);
  ASSERT_TRUE(m_log->WaitFor(
      [](const auto& all) { return MessageLog::Count(all, kL2KindReceivedData) == 3; },
      milliseconds(2000)));
  ASSERT_TRUE(m_farEnd->WaitFor([](const auto& w) { return !w.empty() && w.back().isAck; },
                                milliseconds(2000)));
  std::vector<std::uint8_t> answers;
  const auto writes = m_farEnd->Writes();
  for (std::size_t i = before; i < writes.size(); ++i) {
    if (writes[i].isAck) {
      answers.push_back(writes[i].ackByte);
    }
  }
  EXPECT_EQ(answers, (std::vector<std::uint8_t>{0x40 | 13}));
}

// --- Send checks ---

TEST_F(Cl2TransmitTest, SendChecksInOrder) {
  m_farEnd->SetConnectRefused(true);
  Start();
  const std::int32_t client = AddClient();
  struct Case {
    std::int32_t owner;
    std::int32_t destination;
    std::size_t length;
    std::int32_t budget;
    std::int32_t backoff;
    Result expected;
  };
  // While the link is down.
  const Case down[] = {
      {99, 1, 1, 0, 0, kUnknownKey},
      {kKeyLinkManagement, 1, 1, 0, 0, kUnknownKey},  // entry 0 is never a sender's
      {99, 0xE0, 1, 0, 0, kUnknownKey},
      {client, 0xE0, 1, 0, 0, kDestinationOutOfRange},
      {client, -1, 1, 0, 0, kDestinationOutOfRange},
      {client, 0xDF, 1, 0, 0, kLinkDown},
      {client, 0, 2000, 11, 0, kLinkDown},
  };
  for (const auto& c : down) {
    EXPECT_EQ(m_cl2->Send(Job(c.owner, 1, std::vector<std::uint8_t>(c.length), c.destination,
                              c.budget, c.backoff)),
              c.expected)
        << c.owner << " " << c.destination;
  }
  EXPECT_EQ(m_cl2->Send(nullptr), kNoJob);
  m_farEnd->SetConnectRefused(false);
  ASSERT_TRUE(WaitLinkUp());
  const Case up[] = {
      {client, 1, 1025, 11, 0, kDataTooLong},    {client, 1, 1024, 11, 0, kBackoffOutOfRange},
      {client, 1, 1, -1, 0, kBackoffOutOfRange}, {client, 1, 1, 0, 10001, kBackoffOutOfRange},
      {client, 1, 1, 0, -1, kBackoffOutOfRange}, {client, 1, 1024, 10, 10000, kOk},
      {kKeyTransport, 0xDF, 0, 0, 0, kOk},       {client, 0, 1, 0, 99, kOk},
  };
  std::int32_t cookie = 1;
  for (const auto& c : up) {
    EXPECT_EQ(m_cl2->Send(Job(c.owner, cookie++, std::vector<std::uint8_t>(c.length), c.destination,
                              c.budget, c.backoff)),
              c.expected)
        << c.length << " " << c.budget << " " << c.backoff;
  }
  ASSERT_TRUE(
      m_farEnd->WaitFor([](const auto& w) { return Contains(w, 0xFF, 1) && Contains(w, 0x20, 4); },
                        milliseconds(3000)));
  const auto toFF = WritesTo(m_farEnd->Writes(), 0xFF);
  EXPECT_EQ(toFF[0].source, 0x21);
  EXPECT_TRUE(toFF[0].data.empty());
  const auto big = WritesTo(m_farEnd->Writes(), 0x21);
  ASSERT_FALSE(big.empty());
  EXPECT_EQ(big[0].data.size(), 1024U);
  EXPECT_EQ(m_farEnd->MalformedWrites(), 0);
}

}  // namespace
}  // namespace tavra::stack::cl2test
