// The simulated controller on the serial line: acknowledgements, repetitions, link management,
// bit rates, restart, switch to boot code and its own retransmissions.

#include <gtest/gtest.h>

#include "host_driver_support.h"
#include "server/stack/frame_codec.h"
#include "sim/simulated_controller.h"

namespace tavra::sim::test {
namespace {

std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> b) {
  return b;
}

class ControllerLink : public ::testing::Test {
 protected:
  void Start(SimConfig config = {}) {
    m_sim = std::make_unique<SimulatedController>(std::move(config));
    ASSERT_TRUE(m_sim->AttachTo(m_host.Port()));
  }
  void TearDown() override { m_sim.reset(); }

  HostDriver m_host;
  std::unique_ptr<SimulatedController> m_sim;
};

TEST_F(ControllerLink, AcknowledgesTheExampleFrameAndAnswersTheTransaction) {
  Start();
  m_host.SendRaw(Bytes({0x02, 0x25, 0x21, 0x21, 0x70, 0x10, 0x02, 0x41, 0x03, 0x1F}));
  EXPECT_EQ(m_host.WaitAck(), 0x45);
  // 0x70, request number 0, extra byte 0x02, data 0x41: echoed as 0x50 N=0 with the data.
  const std::optional<HostFrame> answer = m_host.WaitFrame();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->destination, 0x21);
  EXPECT_EQ(answer->source, 0x21);
  EXPECT_EQ(answer->data, Bytes({0x50, 0x41}));
  const std::vector<ObservedPdu> pdus = m_sim->TransportPdus();
  ASSERT_EQ(pdus.size(), 1u);
  EXPECT_EQ(pdus[0].type, 0x70);
  EXPECT_EQ(pdus[0].extra, 0x02);
}

struct AnswerCase {
  const char* name;
  ControllerMode mode;
  std::uint8_t destination;
  std::size_t length;
  std::uint8_t code;
};

class ControllerAnswers : public ControllerLink,
                          public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ControllerAnswers, AnswersWithTheCodeTheFrameDeserves) {
  const AnswerCase& c = GetParam();
  SimConfig config;
  config.mode = c.mode;
  config.extraAddresses = {0x30};
  Start(config);
  const std::vector<std::uint8_t> data(c.length, 0x00);
  m_host.Send(7, c.destination, 0x40, data);
  EXPECT_EQ(m_host.WaitAck(), c.code | 7);
  const SimCounters counters = m_sim->Counters();
  EXPECT_EQ(counters.framesAccepted, c.code == 0x40 ? 1u : 0u);
  EXPECT_EQ(counters.framesNoSuchAddress, c.code == 0x80 ? 1u : 0u);
  EXPECT_EQ(counters.framesTooLong, c.code == 0xC0 ? 1u : 0u);
  EXPECT_EQ(m_sim->FramesReceived().size(), c.code == 0x40 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Codes,
    ControllerAnswers,
    ::testing::Values(AnswerCase{"NormalTransport", ControllerMode::Normal, 0x21, 4, 0x40},
                      AnswerCase{"NormalHasNoFirmwareEntity", ControllerMode::Normal, 0x22, 1,
                                 0x80},
                      AnswerCase{"BootHasNoTransport", ControllerMode::BootCode, 0x21, 2, 0x80},
                      AnswerCase{"BootFirmwareEntity", ControllerMode::BootCode, 0x22, 0, 0x40},
                      AnswerCase{"ExtraAddress", ControllerMode::Normal, 0x30, 3, 0x40},
                      AnswerCase{"Longest", ControllerMode::Normal, 0x30, 1023, 0x40},
                      AnswerCase{"TooLong", ControllerMode::Normal, 0x30, 1024, 0xC0}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(ControllerLink, RepetitionIsAnsweredAgainButHandledOnce) {
  Start();
  const std::vector<std::uint8_t> pdu{0x73, 0x22, 0x01};
  m_host.Send(9, 0x21, 0x21, pdu);
  EXPECT_EQ(m_host.WaitAck(), 0x49);
  ASSERT_TRUE(m_host.WaitFrame());
  m_host.Send(9, 0x21, 0x21, pdu);
  EXPECT_EQ(m_host.WaitAck(), 0x49);
  EXPECT_FALSE(m_host.WaitFrame(200ms));
  EXPECT_EQ(m_sim->Counters().framesRepeated, 1u);
  EXPECT_EQ(m_sim->TransportPdus().size(), 1u);
  EXPECT_EQ(m_sim->AcksSent(), Bytes({0x49, 0x49}));
}

TEST_F(ControllerLink, BadCheckByteGetsNoAnswerAndGarbageIsSurvived) {
  Start();
  m_host.SendRaw(Bytes({0x02, 0x25, 0x21, 0x21, 0x70, 0x10, 0x02, 0x41, 0x03, 0x20}));
  m_host.SendRaw(Bytes({0x10, 0x99, 0x03, 0xFF, 0x02, 0x02, 0x02, 0x10, 0x02, 0x00, 0x31}));
  EXPECT_FALSE(m_host.WaitAck(200ms));
  EXPECT_EQ(m_sim->Counters().framesBadCheck, 1u);
  // After the garbage a pause resets the receiver; a good frame is answered.
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Counters().acksSent == 0; }, 10ms));
  m_host.Port().InjectPause();
  EXPECT_EQ(m_host.Exchange(0x21, 0x21, Bytes({0x71, 0x22})), 0x40 | 1);
}

TEST_F(ControllerLink, SurvivesSeededGarbageAndAnswersAfterwards) {
  SimConfig config;
  config.retransmissionTimeMs = 20;
  config.retransmissions = 0;
  config.extraAddresses = {0x30};
  Start(config);
  // Random bytes, biased towards the control bytes and towards frame-like starts.
  std::uint32_t state = 12345;
  auto next = [&] {
    state = state * 1664525u + 1013904223u;
    return static_cast<std::uint8_t>(state >> 24);
  };
  const std::uint8_t special[] = {0x02, 0x03, 0x10, 0x20, 0x21, 0x22, 0x30, 0x45};
  for (int chunk = 0; chunk < 200; ++chunk) {
    std::vector<std::uint8_t> bytes(1 + next() % 64);
    for (std::uint8_t& b : bytes) {
      const std::uint8_t r = next();
      b = r < 96 ? special[r % 8] : next();
    }
    m_host.SendRaw(bytes);
  }
  m_host.Port().InjectPause();
  ASSERT_TRUE(m_host.Port().WaitUntilReceived(2000));
  m_host.ClearReceived();
  EXPECT_EQ(m_sim->BitRate(), 9600);
  // Without a pause the receiver may still be inside a garbage frame: an end byte and a
  // wrong check byte (twice, in case the first end byte was taken as escaped data) end it.
  m_host.SendRaw(Bytes({0x03, 0x00, 0x03, 0x00}));
  m_host.Send(17, 0x30, 0x40, Bytes({0x01, 0x02}));
  std::optional<std::uint8_t> ack;
  do {  // answers to the garbage may still be on their way
    ack = m_host.WaitAck();
  } while (ack && *ack != (0x40 | 17));
  EXPECT_EQ(ack, 0x40 | 17);
}

TEST_F(ControllerLink, ConnectIdentifyAndKeepAliveAreAnswered) {
  Start();
  EXPECT_EQ(m_host.Manage(0x01, 0x58, 0x1B, 0x00, 0x09), Bytes({0x21}));
  EXPECT_TRUE(m_sim->HostConnected());
  const std::optional<std::vector<std::uint8_t>> identity = m_host.Manage(0x00);
  ASSERT_TRUE(identity);
  ASSERT_EQ(identity->size(), 20u);
  EXPECT_EQ((*identity)[0], 0x20);
  EXPECT_EQ(std::vector<std::uint8_t>(identity->begin() + 14, identity->end()),
            Bytes({3, 1, 2, 3, 4, 0}));
  EXPECT_EQ(m_host.Manage(0x05), Bytes({0x25}));
  EXPECT_EQ(m_host.Manage(0x02), Bytes({0x42}));  // unknown command: negative answer
  EXPECT_EQ(m_sim->ManagementCommands(), Bytes({0x01, 0x00, 0x05, 0x02}));
  EXPECT_EQ(m_sim->ManagementCount(0x05), 1);
}

TEST_F(ControllerLink, IdentityIsConfigurable) {
  SimConfig config;
  config.mode = ControllerMode::BootCode;
  config.version = {6, 1, 0, 9};
  config.identityExtra = 0x77;
  Start(config);
  std::optional<std::vector<std::uint8_t>> identity = m_host.Manage(0x00);
  ASSERT_TRUE(identity);
  EXPECT_EQ(std::vector<std::uint8_t>(identity->begin() + 14, identity->end()),
            Bytes({1, 6, 1, 0, 9, 0x77}));
  m_sim->SetIdentity(0, 1, {6, 1, 0, 0});
  m_sim->SetMode(ControllerMode::Normal);
  identity = m_host.Manage(0x00);
  ASSERT_TRUE(identity);
  EXPECT_EQ((*identity)[14], 0);
}

TEST_F(ControllerLink, BitRateUpToTheMaximumIsAcceptedAndTakenOnceAnswered) {
  SimConfig config;
  config.maxBitRate = 38400;
  Start(config);
  ASSERT_TRUE(m_host.Manage(0x01, 0x58, 0x1B, 0, 9));
  EXPECT_EQ(m_host.Manage(0x04, 3), Bytes({0x44}));  // 57600 refused
  EXPECT_EQ(m_host.Manage(0x04, 9), Bytes({0x44}));  // no such rate code
  EXPECT_EQ(m_host.Manage(0x04, 2), Bytes({0x24}));  // 38400 accepted
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->BitRate() == 38400; }, 2000ms));
  m_host.SetBitRate(38400);
  EXPECT_EQ(m_host.Manage(0x05), Bytes({0x25}));
  EXPECT_EQ(m_sim->BitRatesSeen(), (std::vector<int>{9600, 38400}));
  EXPECT_EQ(m_sim->HostBitRatesSeen(), (std::vector<int>{9600, 38400}));
}

TEST_F(ControllerLink, RestartRunsNormallyAt9600AndIgnoresTheOldRate) {
  SimConfig config;
  config.mode = ControllerMode::BootCode;
  Start(config);
  ASSERT_TRUE(m_host.Manage(0x06, 0x58, 0x1B, 0, 9));
  ASSERT_EQ(m_host.Manage(0x04, 3), Bytes({0x24}));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->BitRate() == 57600; }, 2000ms));
  m_host.SetBitRate(57600);
  // The restart itself is acknowledged at the old rate, then nothing more is understood.
  const std::uint8_t sequence = m_host.SendNext(0x20, 0x20, Bytes({0x03, 0, 0, 0, 0}));
  EXPECT_EQ(m_host.WaitAck(), 0x40 | sequence);
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->BitRate() == 9600; }, 1000ms));
  EXPECT_EQ(m_sim->Mode(), ControllerMode::Normal);
  EXPECT_FALSE(m_host.Exchange(0x20, 0x20, Bytes({0x05, 0, 0, 0, 0}), 300ms));
  EXPECT_GT(m_sim->Counters().bytesLostRateMismatch, 0u);
  EXPECT_EQ(m_sim->Counters().restarts, 1u);
  m_host.SetBitRate(9600);
  const std::optional<std::vector<std::uint8_t>> identity = m_host.Manage(0x00);
  ASSERT_TRUE(identity);
  EXPECT_EQ((*identity)[14], 3);
}

TEST_F(ControllerLink, SwitchToBootCodeRunsTheBootCodeAt9600) {
  // Retransmissions far apart: a frame the host missed would hold up every later answer.
  SimConfig config;
  config.retransmissionTimeMs = 20000;
  Start(config);
  ASSERT_TRUE(m_host.Manage(0x01, 0x58, 0x1B, 0, 9));
  ASSERT_EQ(m_host.Manage(0x04, 1), Bytes({0x24}));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->BitRate() == 19200; }, 2000ms));
  m_host.SetBitRate(19200);
  const std::uint32_t sentBefore = m_sim->Counters().framesSent;
  const std::uint8_t sequence = m_host.SendNext(0x20, 0x20, Bytes({0x06, 0x58, 0x1B, 0, 9}));
  EXPECT_EQ(m_host.WaitAck(), 0x40 | sequence);
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Mode() == ControllerMode::BootCode; }, 1000ms));
  EXPECT_EQ(m_sim->BitRate(), 9600);
  // The switch restarted the controller: no stale answer to it; the boot code answers the
  // host's connect at 9600, and then its identify.
  m_host.SetBitRate(9600);
  EXPECT_EQ(m_host.Manage(0x06, 0x58, 0x1B, 0, 9), Bytes({0x26}));
  const std::optional<std::vector<std::uint8_t>> identity = m_host.Manage(0x00);
  ASSERT_TRUE(identity);
  EXPECT_EQ((*identity)[14], 1);
  EXPECT_EQ(m_sim->Counters().framesSent - sentBefore, 2u);
}

TEST_F(ControllerLink, BootCodeAnswersNormalConnectAndStaysInBootCode) {
  SimConfig config;
  config.mode = ControllerMode::BootCode;
  Start(config);
  EXPECT_EQ(m_host.Manage(0x01, 0x58, 0x1B, 0, 9), Bytes({0x21}));
  EXPECT_EQ(m_sim->Mode(), ControllerMode::BootCode);
}

TEST_F(ControllerLink, SilentHostFallsBackTo9600AfterTheAnnouncedTime) {
  Start();
  // T = 300 ms.
  ASSERT_TRUE(m_host.Manage(0x01, 0x2C, 0x01, 0, 4));
  ASSERT_EQ(m_host.Manage(0x04, 2), Bytes({0x24}));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->BitRate() == 38400; }, 2000ms));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return !m_sim->HostConnected(); }, 3000ms));
  EXPECT_EQ(m_sim->BitRate(), 9600);
  EXPECT_EQ(m_sim->Counters().hostTimeouts, 1u);
}

TEST_F(ControllerLink, OwnFramesAreRetransmittedUntilAcknowledged) {
  SimConfig config;
  config.retransmissionTimeMs = 50;
  Start(config);
  m_host.SetAcknowledge(false);
  m_host.SendNext(0x20, 0x20, Bytes({0x05, 0, 0, 0, 0}));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Counters().framesGivenUp == 1; }, 3000ms));
  const SimCounters counters = m_sim->Counters();
  EXPECT_EQ(counters.framesSent, 4u);  // once and three retransmissions
  EXPECT_EQ(counters.retransmissions, 3u);
  EXPECT_EQ(m_host.FramesSeen(), 4u);
  // Acknowledged at once, a frame is written once.
  m_host.SetAcknowledge(true);
  m_host.ClearReceived();
  ASSERT_TRUE(m_host.Manage(0x05));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Counters().framesSent == 5; }, 1000ms));
  EXPECT_EQ(m_sim->Counters().retransmissions, 3u);
}

TEST_F(ControllerLink, AcknowledgementForAnotherFrameMakesItRetransmitAtOnce) {
  SimConfig config;
  config.retransmissionTimeMs = 5000;
  Start(config);
  m_host.SetAcknowledge(false);
  m_sim->SendFrame(0x40, 0x22, Bytes({0x30}));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_host.FramesSeen() == 1; }, 1000ms));
  const std::optional<HostFrame> frame = m_host.WaitFrame();
  ASSERT_TRUE(frame);
  (void)m_host.Port().WriteAckFrame(
      static_cast<std::uint8_t>(0x40 | ((frame->sequence + 1) & 0x1F)));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_host.FramesSeen() == 2; }, 1000ms));
  EXPECT_EQ(m_sim->Counters().retransmissions, 1u);
  (void)m_host.Port().WriteAckFrame(static_cast<std::uint8_t>(0x40 | frame->sequence));
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Counters().acksReceived == 2; }, 1000ms));
  EXPECT_EQ(m_sim->Counters().framesGivenUp, 0u);
}

TEST_F(ControllerLink, TraceShowsFramesInBothDirections) {
  std::mutex mutex;
  std::vector<std::string> lines;
  SimConfig config;
  config.trace = [&](const std::string& line) {
    std::lock_guard lock(mutex);
    lines.push_back(line);
  };
  Start(config);
  ASSERT_TRUE(m_host.Manage(0x05));
  ASSERT_TRUE(m_sim->WaitUntil(
      [&] {
        std::lock_guard lock(mutex);
        return lines.size() >= 4;  // request, its ack, the answer, its ack
      },
      1000ms));
  std::lock_guard lock(mutex);
  EXPECT_NE(lines[0].find("H>C 02 21 20 20 05 00 00 00 00 03"), std::string::npos) << lines[0];
  bool ackSeen = false;
  for (const std::string& line : lines) {
    ackSeen = ackSeen || line.find("C>H 02 41 43  | ack accepted seq 1") != std::string::npos;
  }
  EXPECT_TRUE(ackSeen);
}

TEST(TraceLineFormat, DescribesDataAndAcknowledgementFrames) {
  const std::vector<std::uint8_t> frame{0x02, 0x25, 0x21, 0x21, 0x70, 0x10, 0x02, 0x41, 0x03, 0x1F};
  EXPECT_EQ(TraceLine(1.5, true, frame),
            "    1.500000 H>C 02 25 21 21 70 10 02 41 03 1F  | seq 5 21<-21 len 3");
  const std::vector<std::uint8_t> ack{0x02, 0xC3, 0xC5};
  EXPECT_EQ(TraceLine(0, false, ack), "    0.000000 C>H 02 C3 C5  | ack too long seq 3");
  EXPECT_EQ(TraceLine(0, true, std::vector<std::uint8_t>{0x99}), "    0.000000 H>C 99  | ?");
}

}  // namespace
}  // namespace tavra::sim::test
