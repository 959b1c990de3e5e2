// The link layer's rules as plain functions: link-management requests and reply classes, the
// transmit-slot selection, transmit results and the busy back-off.

#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "server/stack/cl2_link_requests.h"
#include "server/stack/cl2_transmit_slots.h"

namespace tavra::stack {
namespace {

TEST(Cl2LinkRequests, ConnectParametersFromNoActivityTime) {
  struct Case {
    std::int32_t noActivity, offset;
    ConnectParameters expected;
  };
  const Case cases[] = {
      {5000, 2000, {0x58, 0x1B, 0x00, 0x09}},  // T = 7000
      {300, 0, {0x2C, 0x01, 0x00, 0x04}},      // T = 300
      {0, 0, {0x00, 0x00, 0x00, 0x04}},
      {60000, 5535, {0xFF, 0xFF, 0x00, 55}},  // T = 65535, the largest that fits
      {100000, 0, {0xFF, 0xFF, 0x00, 55}},    // larger T is held at 65535
      {-5000, 0, {0x00, 0x00, 0x00, 0x04}},   // negative settings give 0
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MakeConnectParameters(c.noActivity, c.offset), c.expected)
        << c.noActivity << " + " << c.offset;
  }
}

TEST(Cl2LinkRequests, RequestBytesPerCode) {
  const ConnectParameters p{0x58, 0x1B, 0x00, 0x09};
  struct Case {
    LinkRequest code;
    int rate;
    std::optional<LinkRequestBytes> expected;
  };
  const Case cases[] = {
      {LinkRequest::ConnectNormal, 0, LinkRequestBytes{0x01, 0x58, 0x1B, 0x00, 0x09}},
      {LinkRequest::ConnectBootCode, 0, LinkRequestBytes{0x06, 0x58, 0x1B, 0x00, 0x09}},
      {LinkRequest::Identify, 0, LinkRequestBytes{0x00, 0, 0, 0, 0}},
      {LinkRequest::KeepAlive, 0, LinkRequestBytes{0x05, 0, 0, 0, 0}},
      {LinkRequest::RestartNormal, 0, LinkRequestBytes{0x03, 0, 0, 0, 0}},
      {LinkRequest::SetBitRate, 19200, LinkRequestBytes{0x04, 1, 0, 0, 0}},
      {LinkRequest::SetBitRate, 38400, LinkRequestBytes{0x04, 2, 0, 0, 0}},
      {LinkRequest::SetBitRate, 57600, LinkRequestBytes{0x04, 3, 0, 0, 0}},
      {LinkRequest::SetBitRate, 9600, std::nullopt},
      {LinkRequest::SetBitRate, 115200, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(BuildLinkRequest(static_cast<std::int32_t>(c.code), c.rate, p), c.expected)
        << static_cast<int>(c.code) << " rate " << c.rate;
  }
  for (const std::int32_t unknown : {0, 2, 4, 5, 7, 11, -1}) {
    EXPECT_FALSE(BuildLinkRequest(unknown, 57600, p).has_value()) << unknown;
  }
}

TEST(Cl2LinkRequests, ReplyClasses) {
  std::vector<std::uint8_t> identify(20, 0);
  identify[0] = 0x20;
  std::vector<std::uint8_t> shortIdentify(19, 0);
  shortIdentify[0] = 0x20;
  struct Case {
    std::vector<std::uint8_t> reply;
    ReplyClass expected;
  };
  const Case cases[] = {
      {identify, ReplyClass::IdentifyAnswered},
      {shortIdentify, ReplyClass::Failed},  // the description is incomplete
      {{0x21}, ReplyClass::ConnectAccepted},
      {{0x26}, ReplyClass::ConnectAccepted},
      {{0x24}, ReplyClass::BitRateAccepted},
      {{0x84}, ReplyClass::BitRateRefused},
      {{0x04}, ReplyClass::BitRateRefused},
      {{0xE4}, ReplyClass::BitRateRefused},
      {{0x01}, ReplyClass::Failed},
      {{0x41}, ReplyClass::Failed},
      {{0x25}, ReplyClass::Failed},
      {{0x23}, ReplyClass::Failed},
      {{}, ReplyClass::Failed},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClassifyReply(c.reply), c.expected)
        << (c.reply.empty() ? -1 : c.reply[0]) << " size " << c.reply.size();
  }
}

// --- slots ---

std::unique_ptr<L2Job> MakeJob(std::int32_t owner,
                               std::int32_t cookie,
                               std::int32_t countdown = 0) {
  auto job = std::make_unique<L2Job>();
  job->ownerKey = owner;
  job->cookie = cookie;
  job->backoffCountdown = countdown;
  return job;
}

struct SlotHarness {
  TransmitSlots slots;
  std::deque<std::unique_ptr<L2Job>> queue;
  std::set<std::int32_t> registered{1, 10, 11};
  int taken = 0;

  int Select() {
    return SelectTransmitSlot(
        slots,
        [this]() -> std::unique_ptr<L2Job> {
          if (queue.empty()) {
            return nullptr;
          }
          ++taken;
          auto j = std::move(queue.front());
          queue.pop_front();
          return j;
        },
        [this](std::int32_t key) { return registered.contains(key); });
  }
};

TEST(Cl2TransmitSlots, ManagementSlotGoesFirst) {
  SlotHarness h;
  h.slots[3] = MakeJob(10, -100);  // ready, smallest cookie
  h.queue.push_back(MakeJob(10, 1));
  h.slots[0] = MakeJob(2, 0);
  EXPECT_EQ(h.Select(), 0);
  EXPECT_EQ(h.taken, 0);
}

TEST(Cl2TransmitSlots, ReadySlotWithSmallestCookieThenLowestSlot) {
  SlotHarness h;
  h.slots[2] = MakeJob(10, 7);
  h.slots[4] = MakeJob(10, 5, 3);  // still backing off
  h.slots[5] = MakeJob(11, 6);
  h.slots[7] = MakeJob(11, 6);
  h.queue.push_back(MakeJob(10, 1));
  EXPECT_EQ(h.Select(), 5);  // cookie 6 beats 7; slot 5 beats slot 7 on equal cookies
  EXPECT_EQ(h.taken, 0);     // ready jobs in slots go before queued ones
  h.slots[5].reset();
  EXPECT_EQ(h.Select(), 7);
  h.slots[7].reset();
  EXPECT_EQ(h.Select(), 2);
}

TEST(Cl2TransmitSlots, QueueFillsLowestEmptySlotAndDropsUnregisteredOwners) {
  SlotHarness h;
  h.slots[1] = MakeJob(10, 1, 5);     // backing off
  h.queue.push_back(MakeJob(12, 2));  // owner gone
  h.queue.push_back(MakeJob(13, 3));  // owner gone
  h.queue.push_back(MakeJob(11, 4));
  h.queue.push_back(MakeJob(10, 5));
  EXPECT_EQ(h.Select(), 2);
  ASSERT_TRUE(h.slots[2]);
  EXPECT_EQ(h.slots[2]->cookie, 4);
  EXPECT_EQ(h.taken, 3);
  EXPECT_EQ(h.queue.size(), 1U);
}

TEST(Cl2TransmitSlots, NothingWhenAllSlotsWaitOrQueueEmpty) {
  SlotHarness h;
  EXPECT_EQ(h.Select(), kNoSlot);
  for (int s = 1; s < kTransmitSlots; ++s) {
    h.slots[s] = MakeJob(10, s, 2);
  }
  h.queue.push_back(MakeJob(10, 99));
  EXPECT_EQ(h.Select(), kNoSlot);
  EXPECT_EQ(h.queue.size(), 1U);  // stays queued while every slot is taken
  h.queue.clear();
  h.queue.push_back(MakeJob(12, 1));  // an unregistered owner's job only
  h.slots[9].reset();
  EXPECT_EQ(h.Select(), kNoSlot);
  EXPECT_TRUE(h.queue.empty());
}

TEST(Cl2TransmitSlots, ResultCodes) {
  struct Case {
    Result send;
    std::uint8_t ack;
    std::int32_t expected;
  };
  const Case cases[] = {
      {kOk, 0x45, kTxAccepted},
      {kOk, 0x9F, kTxNoSuchDestination},
      {kOk, 0xA3, kTxBusy},
      {kOk, 0xC1, kTxTooLong},
      {kOk, 0x65, kTxOther},
      {kOk, 0xE0, kTxOther},
      {kWriteTimeout, 0x45, kTxNotWritten},
      {kWrongAcknowledgement, 0x46, kTxNotWritten},
      {kNoAcknowledgement, 0, kTxNoAcknowledgement},
      {kWriteFailed, 0x45, kTxOther},
      {5, 0x45, kTxOther},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TransmitResultCode(c.send, c.ack), c.expected) << c.send << " ack " << +c.ack;
  }
  EXPECT_TRUE(IsBusyAnswer(kOk, 0xA7));
  EXPECT_FALSE(IsBusyAnswer(kNoAcknowledgement, 0xA7));
  EXPECT_FALSE(IsBusyAnswer(kOk, 0x47));
}

TEST(Cl2TransmitSlots, BusyBudgetGivesMaxOfBudgetAndOneWrites) {
  for (int budget = 0; budget <= 10; ++budget) {
    L2Job job;
    job.busyRetryBudget = budget;
    job.remainingBudget = budget;
    job.backoffTime = 5;
    int writes = 1;
    while (ApplyBusyBackoff(job)) {
      EXPECT_EQ(job.backoffCountdown, 5);
      job.backoffCountdown = 0;
      ++writes;
    }
    EXPECT_EQ(writes, std::max(budget, 1)) << "budget " << budget;
    EXPECT_EQ(job.remainingBudget, 0);
  }
}

TEST(Cl2TransmitSlots, CountdownTicksAndReadiness) {
  TransmitSlots slots;
  slots[1] = MakeJob(10, 1, 2);
  slots[2] = MakeJob(10, 2, 1);
  EXPECT_TRUE(CountDownBackoffs(slots, kNoSlot));  // slot 2 reaches 0
  EXPECT_EQ(slots[1]->backoffCountdown, 1);
  EXPECT_EQ(slots[2]->backoffCountdown, 0);
  slots[2].reset();
  slots[3] = MakeJob(10, 3, 0);              // the job being sent
  EXPECT_TRUE(CountDownBackoffs(slots, 3));  // slot 1 reaches 0
  slots[1].reset();
  EXPECT_FALSE(CountDownBackoffs(slots, 3));  // only the one in flight is at 0
  EXPECT_EQ(slots[3]->backoffCountdown, 0);
}

}  // namespace
}  // namespace tavra::stack
