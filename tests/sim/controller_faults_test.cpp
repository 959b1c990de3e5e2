// Each fault of the simulated controller does exactly what it says: counts are consumed one by
// one, filters hold, seeds repeat.

#include <gtest/gtest.h>

#include "host_driver_support.h"
#include "server/stack/frame_codec.h"
#include "sim/byte_faults.h"
#include "sim/simulated_controller.h"

namespace tavra::sim::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> b) {
  return b;
}

class ControllerFaults : public ::testing::Test {
 protected:
  void Start(SimConfig config = {}) {
    m_sim = std::make_unique<SimulatedController>(std::move(config));
    ASSERT_TRUE(m_sim->AttachTo(m_host.Port()));
  }
  void TearDown() override { m_sim.reset(); }

  HostDriver m_host;
  std::unique_ptr<SimulatedController> m_sim;
};

TEST_F(ControllerFaults, DropAcksHoldsBackExactlyNAcknowledgements) {
  Start();
  m_sim->DropAcks(2);
  const std::vector<std::uint8_t> pdu{0x71, 0x22, 0x55};
  // The host retransmits with the same number; the frame is handled once.
  for (int attempt = 0; attempt < 2; ++attempt) {
    m_host.Send(4, 0x21, 0x21, pdu);
    EXPECT_FALSE(m_host.WaitAck(150ms)) << attempt;
  }
  m_host.Send(4, 0x21, 0x21, pdu);
  EXPECT_EQ(m_host.WaitAck(), 0x44);
  EXPECT_EQ(m_sim->Counters().acksDropped, 2u);
  EXPECT_EQ(m_sim->TransportPdus().size(), 1u);
  EXPECT_EQ(m_host.Exchange(0x21, 0x21, pdu), 0x40 | 1);
}

TEST_F(ControllerFaults, DropAcksFilterLeavesOtherAddressesAlone) {
  Start();
  m_sim->DropAcks(1, 0x20);
  EXPECT_EQ(m_host.Exchange(0x21, 0x21, Bytes({0x71, 0x22})), 0x40 | 1);
  EXPECT_EQ(m_host.Exchange(0x55, 0x21, Bytes({0x01})), 0x80 | 2);
  EXPECT_FALSE(m_host.Exchange(0x20, 0x20, Bytes({0x05, 0, 0, 0, 0}), 150ms));
  EXPECT_EQ(m_host.Exchange(0x20, 0x20, Bytes({0x05, 0, 0, 0, 0})), 0x40 | 4);
  EXPECT_EQ(m_sim->Counters().acksDropped, 1u);
}

TEST_F(ControllerFaults, AnswerBusyRefusesNFramesWithoutHandlingThem) {
  Start();
  m_sim->AnswerBusy(2, 0x21);
  const std::vector<std::uint8_t> pdu{0x72, 0x22, 0x01};
  EXPECT_EQ(m_host.Exchange(0x21, 0x21, pdu), 0xA0 | 1);
  EXPECT_EQ(m_host.Exchange(0x21, 0x21, pdu), 0xA0 | 2);
  EXPECT_FALSE(m_host.WaitFrame(100ms));  // nothing was handled
  EXPECT_EQ(m_host.Exchange(0x21, 0x21, pdu), 0x40 | 3);
  const std::optional<HostFrame> answer = m_host.WaitFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->data, Bytes({0x52, 0x01}));
  EXPECT_EQ(m_sim->Counters().busyAnswers, 2u);
  EXPECT_EQ(m_sim->TransportPdus().size(), 1u);
}

TEST_F(ControllerFaults, TransportBusyAnswersTransactionsAndConnectsNTimes) {
  Start();
  m_sim->AnswerTransportBusy(2);
  const std::optional<HostFrame> first = m_host.Request(0x21, 0x21, Bytes({0x75, 0x21, 0xAA}));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->data, Bytes({0x65}));
  const std::optional<HostFrame> second = m_host.Request(0x21, 0x21, Bytes({0xF3, 0x22, 0x10}));
  ASSERT_TRUE(second);
  EXPECT_EQ(second->data, Bytes({0xE3}));
  const std::optional<HostFrame> third = m_host.Request(0x21, 0x21, Bytes({0xF3, 0x22, 0x10}));
  ASSERT_TRUE(third);
  EXPECT_EQ(third->data, Bytes({0xD3, 0x01, 0x10}));
  EXPECT_EQ(m_sim->Counters().transportBusyAnswers, 2u);
}

TEST_F(ControllerFaults, SilentLineLosesEverythingUntilTheCableIsBack) {
  SimConfig config;
  config.retransmissionTimeMs = 30;
  Start(config);
  m_sim->SetSilent(true);
  const std::vector<std::uint8_t> request{0x05, 0, 0, 0, 0};
  const std::vector<std::uint8_t> frame = {0x02, 0x21, 0x20, 0x20, 0x05, 0x00,
                                           0x00, 0x00, 0x00, 0x03, 0x70};
  m_host.SendRaw(frame);
  EXPECT_FALSE(m_host.WaitAck(150ms));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Counters().bytesLostSilent == 11; }, 1000ms));
  // Its own frames go nowhere either.
  m_sim->SendFrame(0x40, 0x22, Bytes({0x30}));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Counters().framesGivenUp == 1; }, 2000ms));
  EXPECT_EQ(m_host.FramesSeen(), 0u);
  m_sim->SetSilent(false);
  m_host.Port().InjectPause();
  EXPECT_EQ(m_host.Manage(0x05), Bytes({0x25}));
}

TEST_F(ControllerFaults, RestartClearsTheTransportAndReturnsTo9600) {
  SimConfig config;
  config.mode = ControllerMode::BootCode;
  Start(config);
  ASSERT_TRUE(m_host.Manage(0x06, 0x58, 0x1B, 0, 9));
  ASSERT_TRUE(m_host.Manage(0x04, 1));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->BitRate() == 19200; }, 2000ms));
  m_sim->Restart();
  EXPECT_EQ(m_sim->Mode(), ControllerMode::Normal);
  EXPECT_EQ(m_sim->BitRate(), 9600);
  EXPECT_FALSE(m_sim->HostConnected());
  EXPECT_EQ(m_sim->Counters().restarts, 1u);
  EXPECT_EQ(m_sim->BitRatesSeen(), (std::vector<int>{9600, 19200, 9600}));
}

TEST_F(ControllerFaults, ReplyDelayHoldsBackAcknowledgementsAndReplies) {
  Start();
  m_sim->SetReplyDelay(150);
  const Clock::time_point sent = Clock::now();
  const std::uint8_t sequence = m_host.SendNext(0x20, 0x20, Bytes({0x05, 0, 0, 0, 0}));
  EXPECT_EQ(m_host.WaitAck(), 0x40 | sequence);
  EXPECT_GE(Clock::now() - sent, 150ms);
  const std::optional<HostFrame> reply = m_host.WaitFrame();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->data, Bytes({0x25}));
  EXPECT_GE(Clock::now() - sent, 150ms);
}

TEST_F(ControllerFaults, LineTimingLetsBytesLeaveAtTheBitRate) {
  Start();
  m_sim->SetLineTiming(true);
  const Clock::time_point sent = Clock::now();
  // 200 bytes of answer at 9600 bit/s take 200 * 10 / 9600 s = 208 ms on the line.
  std::vector<std::uint8_t> pdu(202, 0x44);
  pdu[0] = 0x70;
  pdu[1] = 0x21;
  const std::optional<HostFrame> answer = m_host.Request(0x21, 0x21, pdu, 3000ms);
  const auto elapsed = Clock::now() - sent;
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->data.size(), 201u);
  EXPECT_GE(elapsed, 208ms);
}

TEST_F(ControllerFaults, GarbleOnRateMismatchFeedsGarbageInsteadOfNothing) {
  Start();
  m_host.SetBitRate(19200);
  EXPECT_FALSE(m_host.Exchange(0x21, 0x21, Bytes({0x71, 0x22}), 150ms));
  EXPECT_EQ(m_sim->Counters().bytesLostRateMismatch, 8u);
  m_sim->SetGarbleOnRateMismatch(true);
  EXPECT_FALSE(m_host.Exchange(0x21, 0x21, Bytes({0x71, 0x22}), 150ms));
  const SimCounters counters = m_sim->Counters();
  EXPECT_EQ(counters.bytesLostRateMismatch, 8u);
  EXPECT_EQ(counters.bytesGarbled, 8u);
  EXPECT_EQ(counters.framesAccepted, 0u);
}

TEST_F(ControllerFaults, CorruptionIsRepeatableForTheSameSeed) {
  // The same bytes through two controllers with the same seed: the same frames survive and the
  // same acknowledgements go out. (One chunk, so no pause on the line comes in between.)
  std::vector<std::uint8_t> traffic;
  for (std::uint8_t i = 0; i < 40; ++i) {
    const std::vector<std::uint8_t> data{i, static_cast<std::uint8_t>(i * 3), 0x55};
    const std::vector<std::uint8_t> frame =
        stack::EncodeDataFrame(static_cast<std::uint8_t>(i & 0x1F), 0x30, 0x40, data);
    traffic.insert(traffic.end(), frame.begin(), frame.end());
  }
  auto run = [&](std::uint32_t seed) {
    HostDriver host;
    SimConfig config;
    config.extraAddresses = {0x30};
    SimulatedController sim(config);
    EXPECT_TRUE(sim.AttachTo(host.Port()));
    sim.CorruptBytes(0.02, seed);
    host.SendRaw(traffic);
    EXPECT_TRUE(
        sim.WaitUntil([&] { return sim.Counters().bytesReceived == traffic.size(); }, 2000ms));
    std::vector<std::vector<std::uint8_t>> survived;
    for (const ObservedFrame& f : sim.FramesReceived()) {
      survived.push_back(f.data);
    }
    return std::make_pair(sim.AcksSent(), survived);
  };
  const auto a = run(7);
  const auto b = run(7);
  EXPECT_EQ(a, b);
  EXPECT_GT(a.first.size(), 0u);
  EXPECT_LT(a.first.size(), 40u);  // about a fifth of the frames carry a corrupted byte
  EXPECT_NE(run(8), a);
  // Probability 1: every byte is changed, nothing is understood.
  HostDriver host;
  SimulatedController sim;
  ASSERT_TRUE(sim.AttachTo(host.Port()));
  sim.CorruptBytes(1.0, 3);
  host.SendRaw(traffic);
  ASSERT_TRUE(
      sim.WaitUntil([&] { return sim.Counters().bytesReceived == traffic.size(); }, 2000ms));
  EXPECT_EQ(sim.Counters().bytesCorrupted, traffic.size());
  EXPECT_TRUE(sim.FramesReceived().empty());
}

TEST(ByteCorrupterTest, ProbabilityAndSeedDecideEveryByte) {
  ByteCorrupter never(0.0, 1);
  ByteCorrupter always(1.0, 1);
  ByteCorrupter a(0.25, 42);
  ByteCorrupter b(0.25, 42);
  int hits = 0;
  for (int i = 0; i < 4000; ++i) {
    auto x = static_cast<std::uint8_t>(i);
    EXPECT_FALSE(never.Apply(x));
    std::uint8_t y = x;
    EXPECT_TRUE(always.Apply(y));
    EXPECT_NE(y, x);  // a corrupted byte always differs
    std::uint8_t p = x;
    std::uint8_t q = x;
    const bool hitA = a.Apply(p);
    EXPECT_EQ(hitA, b.Apply(q));
    EXPECT_EQ(p, q);
    hits += hitA ? 1 : 0;
  }
  EXPECT_GT(hits, 850);
  EXPECT_LT(hits, 1150);
}

}  // namespace
}  // namespace tavra::sim::test
