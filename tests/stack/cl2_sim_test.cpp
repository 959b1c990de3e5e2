// CL2 against the simulated controller, once in process (SimulatedSerialPort) and once over a
// pseudo-terminal with the real serial driver (TermiosSerialPort): establishment and rates,
// data frames with lost acknowledgements and busy answers, frames from the controller,
// keep-alive, switch to boot code and restart, destroy.

#include <gtest/gtest.h>

#include "cl2_support.h"
#include "server/stack/server_settings.h"
#include "server/stack/termios_serial_port.h"
#include "sim/simulated_controller.h"
#include "tests/common/port_dir.h"

namespace tavra::stack::cl2test {
namespace {

using sim::ControllerMode;
using sim::SimConfig;
using sim::SimulatedController;

enum class Line { InProcess, PseudoTerminal };

constexpr int kPort = 6;
constexpr std::uint8_t kExtraAddress = 0x30;  // destination number 0x10

class Cl2SimTest : public ::testing::TestWithParam<Line> {
 protected:
  void SetUp() override {
    ServerSettings().ResetToDefaults();
    ServerSettings().Set(Setting::L2_RetransmissionTime, 150);
    ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 100);
  }

  void TearDown() override {
    if (GetParam() == Line::InProcess && m_sim) {
      m_sim->Stop();  // lets go of the port before CL2 destroys it
    }
    m_cl2.reset();
    m_sim.reset();
    m_portDir.reset();
    ServerSettings().ResetToDefaults();
  }

  // Starts the controller silent, so that clients can register before the link comes up.
  void Start(SimConfig config = {}, int clients = 0) {
    config.extraAddresses = {kExtraAddress};
    m_sim = std::make_unique<SimulatedController>(std::move(config));
    m_sim->SetSilent(true);
    std::unique_ptr<ISerialPort> port;
    if (GetParam() == Line::InProcess) {
      auto simulated = std::make_unique<SimulatedSerialPort>();
      simulated->SetSkipBitRatePause(true);
      ASSERT_TRUE(m_sim->AttachTo(*simulated));
      port = std::move(simulated);
    } else {
      m_portDir = std::make_unique<tavra::test::PortDir>();
      std::string error;
      ASSERT_TRUE(m_sim->StartPseudoTerminal(m_portDir->PathOf(kPort), &error)) << error;
      port = std::make_unique<TermiosSerialPort>();
    }
    m_cl2 = std::make_unique<CL2>(std::move(port), m_portTable);
    ASSERT_EQ(m_cl2->Open(kPort, &m_log.signal, &m_log.queue), kOk);
    std::int32_t key = 0;
    ASSERT_EQ(m_cl2->RegisterTransport(key), kOk);
    for (int i = 0; i < clients; ++i) {
      ASSERT_EQ(m_cl2->RegisterClient(key), kOk);
      m_clients.push_back(key);
    }
    m_sim->SetSilent(false);
  }

  int OnlineCount(std::uint8_t type) {
    int n = 0;
    for (const auto& m : m_log.All()) {
      n += m.kind == kL2KindLinkState && m.code == kLinkOnline && m.data.size() == 6 &&
                   m.data[0] == type
               ? 1
               : 0;
    }
    return n;
  }

  bool WaitOnline(int count, std::uint8_t type, milliseconds timeout = milliseconds(8000)) {
    return m_log.WaitFor([&](const auto&) { return OnlineCount(type) >= count; }, timeout);
  }

  std::int32_t WaitResult(std::int32_t cookie, milliseconds timeout = milliseconds(5000)) {
    std::int32_t code = 0;
    m_log.WaitFor(
        [&](const std::vector<L2Message>& all) {
          for (const auto& m : all) {
            if (m.kind == kL2KindTransmitResult && m.value == cookie) {
              code = m.code;
              return true;
            }
          }
          return false;
        },
        timeout);
    return code;
  }

  std::unique_ptr<L2Job> Job(std::int32_t cookie,
                             std::vector<std::uint8_t> data,
                             std::int32_t budget = 0,
                             std::int32_t backoffMs = 0) {
    auto job = std::make_unique<L2Job>();
    job->ownerKey = m_clients.at(0);
    job->cookie = cookie;
    job->busyRetryBudget = budget;
    job->remainingBudget = budget;
    job->backoffTime = backoffMs;
    job->destination = kExtraAddress - 0x20;
    job->data = std::move(data);
    return job;
  }

  PortTable m_portTable;
  MessageLog m_log;
  std::unique_ptr<tavra::test::PortDir> m_portDir;
  std::unique_ptr<SimulatedController> m_sim;
  std::unique_ptr<CL2> m_cl2;
  std::vector<std::int32_t> m_clients;
};

TEST_P(Cl2SimTest, ComesUpAtTheBestRateBothAccept) {
  SimConfig config;
  config.maxBitRate = 38400;
  Start(config);
  ASSERT_TRUE(WaitOnline(1, 3));
  EXPECT_EQ(m_cl2->CurrentBitRate(), 38400);
  EXPECT_EQ(m_sim->ManagementCommands(), (std::vector<std::uint8_t>{0x01, 0x00, 0x04, 0x04}));
  // The controller changes its own rate after its reply has left.
  EXPECT_TRUE(m_sim->WaitUntil([this] { return m_sim->BitRate() == 38400; }, milliseconds(2000)));
  EXPECT_EQ(m_log.All()[0].data, (std::vector<std::uint8_t>{3, 1, 2, 3, 4, 0}));
  const PortEntry entry = m_portTable.Get(kPort);
  EXPECT_TRUE(entry.linkUp);
  EXPECT_EQ(entry.identity.VersionText(), "1.2.3.4");
  EXPECT_TRUE(m_sim->HostConnected());
}

TEST_P(Cl2SimTest, DataFramesWithLostAcknowledgementsAndBusyAnswers) {
  Start({}, 1);
  ASSERT_TRUE(WaitOnline(2, 3));
  const std::vector<std::uint8_t> data{0x02, 0x03, 0x10, 0x41};  // every byte that is escaped
  ASSERT_EQ(m_cl2->Send(Job(1, data)), kOk);
  EXPECT_EQ(WaitResult(1), kTxAccepted);
  // Two acknowledgements lost: the third write gets through (the controller answers the
  // repetitions again without taking the frame twice).
  m_sim->DropAcks(2, kExtraAddress);
  ASSERT_EQ(m_cl2->Send(Job(2, {0x42})), kOk);
  EXPECT_EQ(WaitResult(2), kTxAccepted);
  // Two busy answers with a budget of 5: written three times.
  m_sim->AnswerBusy(2, kExtraAddress);
  ASSERT_EQ(m_cl2->Send(Job(3, {0x43}, 5, 100)), kOk);
  EXPECT_EQ(WaitResult(3), kTxAccepted);
  std::vector<std::vector<std::uint8_t>> received;
  for (const auto& f : m_sim->FramesReceived()) {
    if (f.destination == kExtraAddress) {
      EXPECT_EQ(f.source, 0x40);
      received.push_back(f.data);
    }
  }
  EXPECT_EQ(received, (std::vector<std::vector<std::uint8_t>>{data, {0x42}, {0x43}}));
  EXPECT_EQ(m_sim->Counters().busyAnswers, 2U);
  const auto words = m_cl2->Statistics();
  EXPECT_EQ(words[3], 2U);
  EXPECT_EQ(words[15], 1U);
  EXPECT_TRUE(m_cl2->IsLinkUp());
}

TEST_P(Cl2SimTest, AllAcknowledgementsLostLosesTheLinkUntilReestablished) {
  // The controller stays at the negotiated rate until the announced T (here 1 s) has passed
  // without a frame it could read; only then does the host's connect at 9600 reach it.
  ServerSettings().Set(Setting::L2_NoActivityTime, 500);
  ServerSettings().Set(Setting::Tavra_NoActivityTimeOffset, 500);
  Start({}, 1);
  ASSERT_TRUE(WaitOnline(2, 3));
  m_sim->DropAcks(4, kExtraAddress);
  ASSERT_EQ(m_cl2->Send(Job(1, {0x01})), kOk);
  EXPECT_EQ(WaitResult(1), kTxNoAcknowledgement);
  ASSERT_TRUE(WaitOnline(4, 3));  // both hear online again
  EXPECT_EQ(MessageLog::Count(m_log.All(), kL2KindLinkState, kLinkOffline), 2);
  EXPECT_GE(m_sim->ManagementCount(0x01), 2);  // attempts before its fall-back may be lost
  EXPECT_EQ(m_cl2->Statistics()[2], 2U);
}

TEST_P(Cl2SimTest, ControllerFramesAreDeliveredToTheirOwner) {
  Start({}, 1);
  ASSERT_TRUE(WaitOnline(2, 3));
  const std::vector<std::uint8_t> data{0x10, 0x20, 0x02};
  m_sim->SendFrame(0x21, 0x25, data);
  m_sim->SendFrame(0x40, 0x22, data);
  ASSERT_TRUE(m_log.WaitFor(
      [](const auto& all) { return MessageLog::Count(all, kL2KindReceivedData) == 2; },
      milliseconds(3000)));
  std::vector<std::pair<std::int32_t, std::int32_t>> owners;
  for (const auto& m : m_log.All()) {
    if (m.kind == kL2KindReceivedData) {
      owners.emplace_back(m.ownerKey, m.type);
      EXPECT_EQ(m.data, data);
    }
  }
  EXPECT_EQ(owners,
            (std::vector<std::pair<std::int32_t, std::int32_t>>{{kKeyTransport, 5}, {10, 2}}));
  ASSERT_TRUE(
      m_sim->WaitUntil([this] { return m_sim->Counters().acksReceived >= 2; }, milliseconds(3000)));
}

TEST_P(Cl2SimTest, KeepAliveHoldsAnIdleLink) {
  ServerSettings().Set(Setting::L2_NoActivityTime, 300);
  Start();
  ASSERT_TRUE(WaitOnline(1, 3));
  ASSERT_TRUE(
      m_sim->WaitUntil([this] { return m_sim->ManagementCount(0x05) >= 3; }, milliseconds(5000)));
  EXPECT_TRUE(m_cl2->IsLinkUp());
  EXPECT_EQ(MessageLog::Count(m_log.All(), kL2KindLinkState, kLinkOffline), 0);
  EXPECT_TRUE(m_sim->HostConnected());
}

TEST_P(Cl2SimTest, BootCodeThenResetBackToNormal) {
  ServerSettings().Set(Setting::L2_NoActivityTime, 300);
  Start({}, 1);
  ASSERT_TRUE(WaitOnline(2, 3));
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(m_clients[0], 0x24000011, out), kOk);
  ASSERT_TRUE(WaitOnline(2, 1));
  EXPECT_EQ(m_sim->Mode(), ControllerMode::BootCode);
  EXPECT_EQ(m_cl2->Identity().Type(), 1);
  // Again while in boot code: only an online indication for the requester.
  ASSERT_EQ(m_cl2->ManagementRequest(m_clients[0], 0x24000011, out), kOk);
  ASSERT_TRUE(WaitOnline(3, 1));
  // The restart takes the link down; the next unanswered keep-alive loses it, and it comes
  // back in normal mode at 9600 first.
  ASSERT_EQ(m_cl2->ManagementRequest(m_clients[0], 0x24000012, out), kOk);
  EXPECT_FALSE(m_cl2->IsLinkUp());
  ASSERT_TRUE(WaitOnline(4, 3, milliseconds(10000)));
  EXPECT_EQ(m_sim->Mode(), ControllerMode::Normal);
  EXPECT_EQ(m_sim->ManagementCount(0x03), 1);
  EXPECT_EQ(m_cl2->CurrentBitRate(), 57600);
}

TEST_P(Cl2SimTest, DestroyWhileUpIsPrompt) {
  Start({}, 1);
  ASSERT_TRUE(WaitOnline(2, 3));
  m_sim->DropAcks(4, kExtraAddress);
  ServerSettings().Set(Setting::L2_RetransmissionTime, 5000);
  ASSERT_EQ(m_cl2->Send(Job(1, {0x01})), kOk);
  ASSERT_TRUE(m_sim->WaitUntil(
      [this] {
        for (const auto& f : m_sim->FramesReceived()) {
          if (f.destination == kExtraAddress) {
            return true;
          }
        }
        return false;
      },
      milliseconds(3000)));
  const auto start = Clock::now();
  if (GetParam() == Line::InProcess) {
    m_sim->Stop();
  }
  m_cl2.reset();
  EXPECT_LT(Clock::now() - start, milliseconds(1500));
  EXPECT_FALSE(m_portTable.Get(kPort).linkUp);
}

INSTANTIATE_TEST_SUITE_P(Lines,
                         Cl2SimTest,
                         ::testing::Values(Line::InProcess, Line::PseudoTerminal),
                         [](const ::testing::TestParamInfo<Line>& param) {
                           return param.param == Line::InProcess ? "InProcess" : "PseudoTerminal";
                         });

// Only over a pseudo-terminal: it can be pulled, and the host's bytes reach the controller at
// the bit rate when the controller emulates line timing.
class Cl2PseudoTerminalTest : public Cl2SimTest {};

TEST_P(Cl2PseudoTerminalTest, PulledDeviceTakesTheLinkDownAtOnceAndItComesBackByItself) {
  Start({}, 1);
  ASSERT_TRUE(WaitOnline(2, 3));
  // The pseudo-terminal goes away (its master closed, its name removed), as a pulled adapter.
  m_sim.reset();
  const auto pulled = Clock::now();
  ASSERT_TRUE(m_log.WaitFor(
      [](const auto& all) { return MessageLog::Count(all, kL2KindLinkState, kLinkOffline) == 2; },
      milliseconds(4000)));
  // Not after a keep-alive poll (5 s of silence) and its retransmissions.
  EXPECT_LT(Clock::now() - pulled, milliseconds(4000));
  EXPECT_FALSE(m_cl2->IsLinkUp());
  EXPECT_FALSE(m_portTable.Get(kPort).linkUp);
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(m_clients[0], 0x24000013, out), kOk);
  EXPECT_EQ(out.result, kLinkOffline);
  // Published again at the same name: the same registrations hear online again.
  m_sim = std::make_unique<SimulatedController>(SimConfig{});
  std::string error;
  ASSERT_TRUE(m_sim->StartPseudoTerminal(m_portDir->PathOf(kPort), &error)) << error;
  ASSERT_TRUE(WaitOnline(4, 3));
  EXPECT_TRUE(m_cl2->IsLinkUp());
  EXPECT_EQ(m_cl2->Statistics()[2], 2U);
  EXPECT_EQ(m_cl2->CurrentBitRate(), 57600);
}

TEST_P(Cl2PseudoTerminalTest, LongFrameAt9600IsWrittenOnceBeforeItsAcknowledgementIsAwaited) {
  // 1026 bytes take 1069 ms at 9600 bit/s, longer than the 1000 ms acknowledgement wait: the
  // wait may start only once the frame has left the line.
  ServerSettings().Set(Setting::L2_RetransmissionTime, 1000);
  ServerSettings().Set(Setting::PreferredBitRate, 9600);
  SimConfig config;
  config.emulateLineTiming = true;
  Start(config, 1);
  ASSERT_TRUE(WaitOnline(2, 3));
  ASSERT_EQ(m_cl2->CurrentBitRate(), 9600);
  const std::vector<std::uint8_t> data(1020, 0x44);
  ASSERT_EQ(m_cl2->Send(Job(1, data)), kOk);
  EXPECT_EQ(WaitResult(1, milliseconds(10000)), kTxAccepted);
  int received = 0;
  for (const auto& f : m_sim->FramesReceived()) {
    received += f.destination == kExtraAddress && f.data == data ? 1 : 0;
  }
  EXPECT_EQ(received, 1);
  EXPECT_EQ(m_sim->Counters().framesRepeated, 0U);
  EXPECT_EQ(m_cl2->Statistics()[3], 0U);  // no retransmission
}

INSTANTIATE_TEST_SUITE_P(Lines, Cl2PseudoTerminalTest, ::testing::Values(Line::PseudoTerminal));

TEST(Cl2DeviceTest, MissingDeviceIsPortNotFound) {
  tavra::test::PortDir dir;  // an empty port folder: COM7 does not exist
  PortTable table;
  auto cl2 = MakeCL2OnDevice(table);
  MessageLog log;
  EXPECT_EQ(cl2->Open(7, &log.signal, &log.queue), kPortNotFound);
  std::int32_t key = 0;
  EXPECT_EQ(cl2->RegisterClient(key), kPortNotFound);
}

}  // namespace
}  // namespace tavra::stack::cl2test
