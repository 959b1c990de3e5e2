// CL2 link management on a simulated port with a scripted far end: open, establishment and
// bit-rate negotiation, keep-alive, loss of the link, the management requests of clients,
// statistics and destroy.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "cl2_support.h"
#include "server/stack/frame_parser.h"
#include "server/stack/server_settings.h"

namespace tavra::stack::cl2test {
namespace {

class Cl2LinkTest : public Cl2Test {};

std::vector<std::uint8_t> Commands(const std::vector<HostWrite>& writes) {
  std::vector<std::uint8_t> out;
  for (const auto& w : writes) {
    if (!w.isAck && w.destination == 0x20 && !w.data.empty()) {
      out.push_back(w.data[0]);
    }
  }
  return out;
}

// Management frames with repeated sequence numbers (retransmissions) counted once.
std::vector<std::uint8_t> DistinctCommands(const std::vector<HostWrite>& writes) {
  std::vector<std::uint8_t> out;
  int lastSequence = -1;
  for (const auto& w : writes) {
    if (!w.isAck && w.destination == 0x20 && !w.data.empty() && w.sequence != lastSequence) {
      out.push_back(w.data[0]);
      lastSequence = w.sequence;
    }
  }
  return out;
}

// --- open ---

TEST_F(Cl2LinkTest, OpenTwiceGivesNotInitialisedAndKeepsRunning) {
  Start();
  ASSERT_TRUE(WaitLinkUp());
  Event otherSignal;
  L2MessageQueue otherQueue;
  EXPECT_EQ(m_cl2->Open(4, &otherSignal, &otherQueue), kNotInitialised);
  EXPECT_TRUE(m_cl2->IsLinkUp());
  EXPECT_EQ(m_cl2->PortNumber(), 3);
}

TEST_F(Cl2LinkTest, OpenWithoutQueueOrSignalStoresNotInitialised) {
  for (int missing = 0; missing < 2; ++missing) {
    auto port = std::make_unique<SimulatedSerialPort>();
    SimulatedSerialPort* raw = port.get();
    CL2 cl2(std::move(port), m_portTable);
    Event signal;
    L2MessageQueue queue;
    EXPECT_EQ(cl2.Open(1, missing == 0 ? nullptr : &signal, missing == 1 ? nullptr : &queue),
              kNotInitialised);
    EXPECT_FALSE(raw->IsOpen());
    std::int32_t key = 0;
    EXPECT_EQ(cl2.RegisterTransport(key), kNotInitialised);
    EXPECT_EQ(cl2.RegisterClient(key), kNotInitialised);
    EXPECT_EQ(cl2.Send(Job(1, 1, {1})), kNotInitialised);
    ManagementOutput out;
    EXPECT_EQ(cl2.ManagementRequest(1, 0x24000013, out), kNotInitialised);
    EXPECT_FALSE(cl2.IsLinkUp());
  }
}

TEST_F(Cl2LinkTest, PortOpenErrorsPassThroughAndAreStored) {
  for (const Result error : {kPortOpenError, kPortInUse, kPortNotFound}) {
    auto port = std::make_unique<SimulatedSerialPort>();
    port->SetOpenResult(error);
    CL2 cl2(std::move(port), m_portTable);
    Event signal;
    L2MessageQueue queue;
    EXPECT_EQ(cl2.Open(2, &signal, &queue), error);
    std::int32_t key = 0;
    EXPECT_EQ(cl2.RegisterClient(key), error);
    EXPECT_EQ(cl2.UnregisterClient(10), error);
    EXPECT_EQ(cl2.Send(Job(10, 1, {1})), error);
    EXPECT_EQ(cl2.Open(2, &signal, &queue), kNotInitialised);  // attempted once already
    EXPECT_EQ(cl2.LinkState(), 0);
  }
}

// A port whose receive loop cannot set itself up; it counts what the link layer does with it.
class NoReceivePort final : public ISerialPort {
 public:
  std::atomic<int> writes{0};
  Result Open(int, int) override { return kOk; }
  Result SetBitRate(int) override { return kOk; }
  Result WriteDataFrame(std::span<const std::uint8_t>) override {
    ++writes;
    return kOk;
  }
  Result WriteAckFrame(std::uint8_t) override { return kOk; }
  void Close() override {}
  Result ReceiveLoop(Event&, FrameParser&) override { return -1; }
  void InterruptReceive() override {}
  int CurrentBitRate() const override { return 9600; }
};

TEST_F(Cl2LinkTest, ReceiveLoopThatCannotStartFailsOpenAndStopsTheOtherThreads) {
  ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 0);  // would try on every tick
  auto port = std::make_unique<NoReceivePort>();
  NoReceivePort* raw = port.get();
  {
    CL2 cl2(std::move(port), m_portTable);
    EXPECT_EQ(cl2.Open(1, &m_log->signal, &m_log->queue), kNotInitialised);
    std::int32_t key = 0;
    EXPECT_EQ(cl2.RegisterTransport(key), kNotInitialised);
    // Nothing goes out on the port after the failed open.
    EXPECT_FALSE(
        m_log->WaitFor([&](const auto&) { return raw->writes.load() > 0; }, milliseconds(300)));
    EXPECT_EQ(cl2.LinkState(), 0);
  }
}

TEST_F(Cl2LinkTest, BeforeOpenEverythingIsNotInitialised) {
  Start(false);
  std::int32_t key = 0;
  EXPECT_EQ(m_cl2->RegisterTransport(key), kNotInitialised);
  EXPECT_EQ(m_cl2->Send(nullptr), kNotInitialised);
  EXPECT_FALSE(m_cl2->IsLinkUp());
  EXPECT_TRUE(m_farEnd->Writes().empty());
}

// --- establishment and bit rate ---

TEST_F(Cl2LinkTest, LinkComesUpAt57600WhenAccepted) {
  m_farEnd->SetIdentity({3, 2, 7, 1, 9, 0x42});
  Start();
  ASSERT_TRUE(WaitLinkUp());
  EXPECT_EQ(m_cl2->LinkState(), 2);
  EXPECT_EQ(m_cl2->CurrentBitRate(), 57600);
  EXPECT_EQ(m_port->CurrentBitRate(), 57600);
  EXPECT_EQ(m_port->BitRateHistory(), (std::vector<int>{9600, 57600}));
  const auto writes = m_farEnd->Writes();
  EXPECT_EQ(Commands(writes), (std::vector<std::uint8_t>{0x01, 0x00, 0x04}));
  const auto connect = m_farEnd->ManagementFrames(kCmdConnect);
  ASSERT_EQ(connect.size(), 1U);
  EXPECT_EQ(connect[0].data, (std::vector<std::uint8_t>{0x01, 0x58, 0x1B, 0x00, 0x09}));
  EXPECT_EQ(connect[0].source, 0x20);
  EXPECT_EQ(connect[0].bitRate, 9600);
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdSetBitRate)[0].data[1], 3);
  // The online indication carries the identity; the port table shows it.
  ASSERT_TRUE(m_log->WaitFor(
      [](const auto& all) { return MessageLog::Count(all, kL2KindLinkState, kLinkOnline) == 1; },
      milliseconds(1000)));
  const auto messages = m_log->All();
  EXPECT_EQ(messages[0].ownerKey, kKeyTransport);
  EXPECT_EQ(messages[0].value, 1);
  EXPECT_EQ(messages[0].data, (std::vector<std::uint8_t>{3, 2, 7, 1, 9, 0x42}));
  const PortEntry entry = m_portTable.Get(3);
  EXPECT_TRUE(entry.linkUp);
  EXPECT_EQ(entry.identity.bytes, (std::array<std::uint8_t, 6>{3, 2, 7, 1, 9, 0x42}));
  EXPECT_EQ(m_cl2->Statistics()[2], 1U);
}

TEST_F(Cl2LinkTest, RefusedRateFallsBackToNextLower) {
  m_farEnd->SetRefusedRates({57600});
  Start();
  ASSERT_TRUE(WaitLinkUp());
  EXPECT_EQ(m_cl2->CurrentBitRate(), 38400);
  EXPECT_EQ(m_port->BitRateHistory(), (std::vector<int>{9600, 38400}));
  const auto rates = m_farEnd->ManagementFrames(kCmdSetBitRate);
  ASSERT_EQ(rates.size(), 2U);
  EXPECT_EQ(rates[0].data[1], 3);
  EXPECT_EQ(rates[1].data[1], 2);
}

TEST_F(Cl2LinkTest, AllRatesRefusedGives9600) {
  m_farEnd->SetRefusedRates({57600, 38400, 19200});
  Start();
  ASSERT_TRUE(WaitLinkUp());
  EXPECT_EQ(m_cl2->CurrentBitRate(), 9600);
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdSetBitRate).size(), 3U);
  EXPECT_EQ(m_port->BitRateHistory(), (std::vector<int>{9600}));
}

TEST_F(Cl2LinkTest, PreferredRateLimitsNegotiation) {
  struct Case {
    int preferred;
    std::vector<std::uint8_t> rateCodes;
    int result;
  };
  const Case cases[] = {
      {9600, {}, 9600},    {19199, {}, 9600},    {19200, {1}, 19200},
      {38400, {2}, 38400}, {115200, {3}, 57600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.preferred);
    ServerSettings().Set(Setting::PreferredBitRate, c.preferred);
    auto port = std::make_unique<SimulatedSerialPort>();
    port->SetSkipBitRatePause(true);
    ScriptedFarEnd farEnd(*port);
    SimulatedSerialPort* raw = port.get();
    MessageLog log;
    {
      CL2 cl2(std::move(port), m_portTable);
      ASSERT_EQ(cl2.Open(1, &log.signal, &log.queue), kOk);
      std::int32_t key = 0;
      ASSERT_EQ(cl2.RegisterTransport(key), kOk);
      ASSERT_TRUE(log.WaitFor([&](const auto&) { return cl2.IsLinkUp(); }, milliseconds(3000)));
      EXPECT_EQ(cl2.CurrentBitRate(), c.result);
      EXPECT_EQ(raw->CurrentBitRate(), c.result);
      std::vector<std::uint8_t> codes;
      for (const auto& f : farEnd.ManagementFrames(kCmdSetBitRate)) {
        codes.push_back(f.data[1]);
      }
      EXPECT_EQ(codes, c.rateCodes);
    }
  }
}

TEST_F(Cl2LinkTest, UnacknowledgedSetBitRateFailsEstablishment) {
  ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 60000);  // one attempt only
  m_farEnd->SetRefusedRates({57600});
  // 38400 is never acknowledged: no fallback to 19200, the link stays down.
  m_farEnd->SetAckRule([](const HostWrite& f, int) {
    return f.IsManagement(kCmdSetBitRate) && f.data[1] == 2 ? AckAction::NoAck : AckAction::Accept;
  });
  Start();
  ASSERT_TRUE(m_farEnd->WaitFor(
      [](const auto& writes) {
        int n = 0;
        for (const auto& w : writes) {
          n += w.IsManagement(kCmdSetBitRate) && w.data[1] == 2 ? 1 : 0;
        }
        return n == 4;  // 1 + L2_Retransmissions
      },
      milliseconds(3000)));
  // The send has given up; give the supervisor a bounded moment to finish the attempt.
  EXPECT_FALSE(
      m_log->WaitFor([this](const auto&) { return m_cl2->IsLinkUp(); }, milliseconds(300)));
  EXPECT_EQ(DistinctCommands(m_farEnd->Writes()),
            (std::vector<std::uint8_t>{0x01, 0x00, 0x04, 0x04}));
  EXPECT_EQ(m_cl2->LinkState(), 1);
  EXPECT_EQ(m_cl2->Statistics()[2], 0U);
  EXPECT_TRUE(m_log->All().empty());
}

TEST_F(Cl2LinkTest, RefusedConnectIsRetriedAfterTheAttemptInterval) {
  ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 300);
  m_farEnd->SetConnectRefused(true);
  Start();
  ASSERT_TRUE(m_farEnd->WaitFor(
      [](const auto& w) {
        int n = 0;
        for (const auto& f : w) {
          n += f.IsManagement(kCmdConnect) ? 1 : 0;
        }
        return n >= 3;
      },
      milliseconds(3000)));
  const auto connects = m_farEnd->ManagementFrames(kCmdConnect);
  for (std::size_t i = 1; i < connects.size(); ++i) {
    const auto gap = connects[i].at - connects[i - 1].at;
    EXPECT_GE(gap, milliseconds(250));
    EXPECT_LE(gap, milliseconds(1500));
  }
  EXPECT_TRUE(m_farEnd->ManagementFrames(kCmdIdentify).empty());
  m_farEnd->SetConnectRefused(false);
  EXPECT_TRUE(WaitLinkUp());
}

// --- keep-alive and loss ---

TEST_F(Cl2LinkTest, KeepAliveAfterNoActivityAndNothingElseWhenAnswered) {
  ServerSettings().Set(Setting::L2_NoActivityTime, 300);
  Start();
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_TRUE(m_farEnd->WaitFor(
      [](const auto& w) {
        int n = 0;
        for (const auto& f : w) {
          n += f.IsManagement(kCmdKeepAlive) ? 1 : 0;
        }
        return n >= 3;
      },
      milliseconds(4000)));
  const auto polls = m_farEnd->ManagementFrames(kCmdKeepAlive);
  for (std::size_t i = 1; i < polls.size(); ++i) {
    const auto gap = polls[i].at - polls[i - 1].at;
    EXPECT_GE(gap, milliseconds(250)) << i;  // 3 ticks after the last received frame
    EXPECT_LE(gap, milliseconds(1200)) << i;
  }
  EXPECT_EQ(polls[0].data, (std::vector<std::uint8_t>{0x05, 0, 0, 0, 0}));
  // The connect announced T = 300 + 2000 ms.
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdConnect)[0].data,
            (std::vector<std::uint8_t>{0x01, 0xFC, 0x08, 0x00, 0x05}));
  EXPECT_TRUE(m_cl2->IsLinkUp());
  EXPECT_EQ(m_cl2->Statistics()[2], 1U);
  const auto messages = m_log->All();
  ASSERT_EQ(messages.size(), 1U);  // the online indication only
  EXPECT_EQ(messages[0].code, kLinkOnline);
}

TEST_F(Cl2LinkTest, UnansweredKeepAliveLosesTheLinkAndItComesBack) {
  ServerSettings().Set(Setting::L2_NoActivityTime, 200);
  m_farEnd->SetAckRule([](const HostWrite& f, int) {
    return f.IsManagement(kCmdKeepAlive) ? AckAction::NoAck : AckAction::Accept;
  });
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(m_log->WaitFor(
      [](const auto& all) { return MessageLog::Count(all, kL2KindLinkState, kLinkOffline) == 2; },
      milliseconds(3000)));
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdKeepAlive).size(), 4U);  // 1 + 3 retransmissions
  m_farEnd->SetAckRule({});
  // Online (CL4, client), offline (both), online (both) again; the port went back to 9600 in
  // between.
  ASSERT_TRUE(m_log->WaitFor([](const auto& all) { return all.size() >= 6; }, milliseconds(3000)));
  const auto messages = m_log->All();
  ASSERT_EQ(messages.size(), 6U);
  EXPECT_EQ(messages[2].code, kLinkOffline);
  EXPECT_EQ(messages[3].code, kLinkOffline);
  EXPECT_EQ(messages[3].ownerKey, client);
  EXPECT_EQ(messages[5].code, kLinkOnline);
  EXPECT_EQ(m_port->BitRateHistory(), (std::vector<int>{9600, 57600, 9600, 57600}));
  EXPECT_EQ(m_cl2->Statistics()[2], 2U);
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdConnect).back().bitRate, 9600);
}

// --- management requests of clients ---

TEST_F(Cl2LinkTest, StatusRequestsWhileDown) {
  m_farEnd->SetConnectRefused(true);
  Start();
  const std::int32_t client = AddClient();
  ManagementOutput out;
  out.dataType = 55;
  out.dataSize = 55;
  out.data = {1, 2, 3};
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000013, out), kOk);
  EXPECT_EQ(out.result, kLinkOffline);
  EXPECT_EQ(out.dataType, 0);
  EXPECT_EQ(out.dataSize, 0);
  EXPECT_TRUE(out.data.empty());
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000014, out), kOk);
  ASSERT_TRUE(m_log->WaitFor([](const auto& all) { return !all.empty(); }, milliseconds(1000)));
  const auto messages = m_log->All();
  ASSERT_EQ(messages.size(), 1U);
  EXPECT_EQ(messages[0].kind, kL2KindLinkState);
  EXPECT_EQ(messages[0].code, kLinkOffline);
  EXPECT_EQ(messages[0].value, 0);
  EXPECT_EQ(messages[0].ownerKey, client);
  EXPECT_TRUE(messages[0].data.empty());
  for (const std::int32_t command : {0x24000010, 0x24000017, 0x24000018}) {
    EXPECT_EQ(m_cl2->ManagementRequest(client, command, out), kLinkDown) << command;
  }
}

TEST_F(Cl2LinkTest, StatusRequestsWhileUp) {
  m_farEnd->SetIdentity({1, 0, 9, 8, 7, 6});
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000013, out), kOk);
  EXPECT_EQ(out.result, kLinkOnline);
  EXPECT_EQ(out.dataType, 1);
  EXPECT_EQ(out.dataSize, 6);
  EXPECT_EQ(out.data, (std::vector<std::uint8_t>{1, 0, 9, 8, 7, 6}));
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000014, out), kOk);
  EXPECT_EQ(out.dataSize, 0);
  ASSERT_TRUE(m_log->WaitFor([](const auto& all) { return all.size() == 3; }, milliseconds(1000)));
  const auto last = m_log->All().back();
  EXPECT_EQ(last.ownerKey, client);
  EXPECT_EQ(last.code, kLinkOnline);
  EXPECT_EQ(last.value, 1);
  EXPECT_EQ(last.data, (std::vector<std::uint8_t>{1, 0, 9, 8, 7, 6}));
  for (const std::int32_t command : {0x24000010, 0x24000017, 0x24000018}) {
    EXPECT_EQ(m_cl2->ManagementRequest(client, command, out), kUnknownManagementCommand) << command;
  }
}

TEST_F(Cl2LinkTest, ClientAddressAndUnknownKeys) {
  Start();
  const std::int32_t a = AddClient();
  const std::int32_t b = AddClient();
  EXPECT_EQ(a, 10);
  EXPECT_EQ(b, 11);
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(b, 0x24000016, out), kOk);
  EXPECT_EQ(out.dataType, 3);
  EXPECT_EQ(out.dataSize, 4);
  EXPECT_EQ(out.data, (std::vector<std::uint8_t>{0x21, 0, 0, 0}));  // 0x41 - 0x20
  ASSERT_EQ(m_cl2->ManagementRequest(kKeyTransport, 0x24000016, out), kOk);
  EXPECT_EQ(out.data, (std::vector<std::uint8_t>{0x01, 0, 0, 0}));
  for (const std::int32_t key : {0, kKeyLinkManagement, 12, -1}) {
    EXPECT_EQ(m_cl2->ManagementRequest(key, 0x24000016, out), kUnknownKey) << key;
    EXPECT_EQ(m_cl2->ManagementRequest(key, 0x24000013, out), kUnknownKey) << key;
  }
  ASSERT_EQ(m_cl2->UnregisterClient(a), kOk);
  EXPECT_EQ(m_cl2->ManagementRequest(a, 0x24000016, out), kUnknownKey);
}

TEST_F(Cl2LinkTest, StatisticsBlockWhileDownKeepsLastRate) {
  ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 60000);
  m_farEnd->SetRefusedRates({57600});
  m_farEnd->SetIdentity({3, 1, 1, 1, 1, 1});
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000015, out), kOk);
  ASSERT_EQ(out.dataSize, 72);
  ASSERT_EQ(out.data.size(), 72U);
  EXPECT_EQ(out.dataType, 2);
  auto word = [&](int i) {
    return static_cast<std::uint32_t>(out.data[4 * i]) | (out.data[4 * i + 1] << 8) |
           (out.data[4 * i + 2] << 16) | (static_cast<std::uint32_t>(out.data[4 * i + 3]) << 24);
  };
  EXPECT_EQ(word(0), 1U);
  EXPECT_EQ(word(1), 3U);
  EXPECT_EQ(word(2), 1U);
  EXPECT_EQ(word(14), 38400U);
  // Lose the link: the next data frame is never acknowledged.
  m_farEnd->SetAckRule([](const HostWrite& f, int) {
    return f.destination == 0x22 ? AckAction::NoAck : AckAction::Accept;
  });
  ASSERT_EQ(m_cl2->Send(Job(client, 1, {0x33}, 2)), kOk);
  ASSERT_TRUE(WaitLinkDown());
  ASSERT_TRUE(
      m_log->WaitFor([this](const auto&) { return m_cl2->LinkState() == 1; }, milliseconds(2000)));
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000015, out), kOk);
  EXPECT_EQ(word(0), 0U);
  EXPECT_EQ(word(14), 38400U);
  EXPECT_EQ(word(3), 3U);  // retransmissions while the link was up
  EXPECT_EQ(word(4), 1U);  // frames given up
  EXPECT_EQ(word(15), 1U);
  EXPECT_EQ(word(16), 1U);
  EXPECT_EQ(word(17), 0U);
  EXPECT_EQ(word(11), 0U);
  EXPECT_EQ(m_cl2->Statistics()[14], 38400U);
  EXPECT_EQ(m_port->CurrentBitRate(), 9600);
}

TEST_F(Cl2LinkTest, ParserCountersFillWordsFiveToThirteen) {
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  const std::vector<std::uint8_t> data{0x11, 0x22};
  m_farEnd->SendToHost(0x40, 0x22, data, 7);
  m_farEnd->SendToHost(0x40, 0x22, data, 7);                                // repeated
  m_farEnd->SendToHost(0x77, 0x22, data, 8);                                // nobody's address
  std::vector<std::uint8_t> bad{0x02, 0x29, 0x21, 0x22, 0x01, 0x03, 0x00};  // wrong check byte
  m_port->InjectReceived(bad);
  ASSERT_TRUE(m_port->WaitUntilReceived(2000));
  ASSERT_TRUE(m_log->WaitFor(
      [](const auto& all) { return MessageLog::Count(all, kL2KindReceivedData) == 1; },
      milliseconds(1000)));
  const auto words = m_cl2->Statistics();
  EXPECT_EQ(words[5], 1U);   // repeated
  EXPECT_EQ(words[9], 2U);   // accepted (the repetition is answered 0x40 too)
  EXPECT_EQ(words[10], 1U);  // no such destination
  EXPECT_EQ(words[13], 1U);  // check error
  // The client's online indication may be logged after it: the link-up flag goes up first.
  const auto messages = m_log->All();
  const auto found = std::find_if(messages.begin(), messages.end(),
                                  [](const auto& m) { return m.kind == kL2KindReceivedData; });
  ASSERT_NE(found, messages.end());
  const auto& received = *found;
  EXPECT_EQ(received.ownerKey, client);
  EXPECT_EQ(received.type, 2);
  EXPECT_EQ(received.data, data);
}

// --- mode switches ---

TEST_F(Cl2LinkTest, ConnectBootCodeSwitchesAndReconnectsInBootMode) {
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  m_farEnd->SetIdentity({1, 0, 0, 0, 1, 0});  // after the switch it reports its boot code
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000011, out), kOk);
  EXPECT_FALSE(m_cl2->IsLinkUp());  // taken down at once
  ASSERT_TRUE(m_farEnd->WaitFor(
      [](const auto& w) {
        int n = 0;
        for (const auto& f : w) {
          n += f.IsManagement(kCmdConnectBoot) ? 1 : 0;
        }
        return n >= 2;  // the switch, then the connect of the next establishment
      },
      milliseconds(3000)));
  ASSERT_TRUE(m_log->WaitFor([](const auto& all) { return all.size() >= 6; }, milliseconds(3000)));
  EXPECT_EQ(m_cl2->Identity().Type(), 1);
  const auto commands = DistinctCommands(m_farEnd->Writes());
  EXPECT_EQ(commands, (std::vector<std::uint8_t>{0x01, 0x00, 0x04, 0x06, 0x06, 0x00, 0x04}));
  const auto boot = m_farEnd->ManagementFrames(kCmdConnectBoot);
  EXPECT_EQ(boot[0].bitRate, 57600);
  EXPECT_EQ(boot[1].bitRate, 9600);
  const auto messages = m_log->All();
  ASSERT_EQ(messages.size(), 6U);  // online x2, offline x2, online x2
  EXPECT_EQ(messages[2].code, kLinkOffline);
  EXPECT_EQ(messages[4].data, (std::vector<std::uint8_t>{1, 0, 0, 0, 1, 0}));
}

TEST_F(Cl2LinkTest, ConnectBootCodeWhileInBootCodeOnlyIndicatesOnline) {
  m_farEnd->SetIdentity({1, 5, 6, 7, 8, 9});
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  ASSERT_TRUE(m_log->WaitFor([](const auto& all) { return all.size() == 2; }, milliseconds(1000)));
  const auto before = m_farEnd->Writes().size();
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000011, out), kOk);
  ASSERT_TRUE(m_log->WaitFor([](const auto& all) { return all.size() == 3; }, milliseconds(1000)));
  const auto last = m_log->All().back();
  EXPECT_EQ(last.ownerKey, client);
  EXPECT_EQ(last.code, kLinkOnline);
  EXPECT_EQ(last.data, (std::vector<std::uint8_t>{1, 5, 6, 7, 8, 9}));
  EXPECT_TRUE(m_cl2->IsLinkUp());
  EXPECT_EQ(m_farEnd->Writes().size(), before);  // nothing sent
}

TEST_F(Cl2LinkTest, ResetWithoutLinkFailsButSelectsNormalMode) {
  ServerSettings().Set(Setting::TimeBetweenConnectAttempts, 400);
  m_farEnd->SetConnectRefused(true);
  Start();
  const std::int32_t client = AddClient();
  ManagementOutput out;
  // While down, a boot-code wish is recorded: the next connect is 0x06 ...
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000011, out), kOk);
  // (its refusal is answered before the host acknowledges the reply: wait for that ack, so
  // that the far end's change below only affects later attempts)
  ASSERT_TRUE(m_farEnd->WaitFor(
      [](const auto& w) {
        bool boot = false;
        for (const auto& f : w) {
          boot = boot || f.IsManagement(kCmdConnectBoot);
          if (boot && f.isAck) {
            return true;
          }
        }
        return false;
      },
      milliseconds(3000)));
  // ... and a reset, which fails without a link, turns it back to normal mode.
  EXPECT_EQ(m_cl2->ManagementRequest(client, 0x24000012, out), kLinkDown);
  const auto sent = m_farEnd->ManagementFrames(kCmdConnectBoot).size();
  m_farEnd->SetConnectRefused(false);
  ASSERT_TRUE(WaitLinkUp());
  const auto commands = DistinctCommands(m_farEnd->Writes());
  ASSERT_GE(commands.size(), 3U);
  EXPECT_EQ(commands[commands.size() - 3], 0x01);  // the establishment that succeeded
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdConnectBoot).size(), sent);
}

TEST_F(Cl2LinkTest, SecondModeRequestBeforeTheFirstWasSentIsRefused) {
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  // A data frame that is never acknowledged keeps the transmitter busy for 4 x 400 ms, so the
  // restart waits for slot 0 and the first request stays pending meanwhile.
  m_farEnd->SetAckRule([](const HostWrite& f, int) {
    return f.destination == 0x22 ? AckAction::NoAck : AckAction::Accept;
  });
  ServerSettings().Set(Setting::L2_RetransmissionTime, 400);
  ASSERT_EQ(m_cl2->Send(Job(client, 1, {0x01}, 2)), kOk);
  ASSERT_TRUE(
      m_farEnd->WaitFor([](const auto& w) { return !w.empty() && w.back().destination == 0x22; },
                        milliseconds(2000)));
  ManagementOutput out;
  ASSERT_EQ(m_cl2->ManagementRequest(client, 0x24000012, out), kOk);
  EXPECT_FALSE(m_cl2->IsLinkUp());  // clients hear offline at once
  EXPECT_EQ(m_cl2->ManagementRequest(client, 0x24000012, out), kModeRequestPending);
  EXPECT_EQ(m_cl2->ManagementRequest(client, 0x24000011, out), kModeRequestPending);
  // The data frame gives up, then the restart goes out; the lost link is re-established.
  EXPECT_EQ(WaitResult(1, milliseconds(4000)), kTxNoAcknowledgement);
  ASSERT_TRUE(m_farEnd->WaitFor(
      [](const auto& w) {
        for (const auto& f : w) {
          if (f.IsManagement(kCmdRestart)) {
            return true;
          }
        }
        return false;
      },
      milliseconds(4000)));
  ServerSettings().Set(Setting::L2_RetransmissionTime, 60);
  m_farEnd->SetAckRule({});
  ASSERT_TRUE(WaitLinkUp());
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdRestart).size(), 1U);
  EXPECT_EQ(m_farEnd->ManagementFrames(kCmdConnect).size(), 2U);  // normal mode again
}

// --- destroy ---

TEST_F(Cl2LinkTest, DestroyWhileLinkUpJoinsPromptly) {
  ServerSettings().Set(Setting::L2_RetransmissionTime, 5000);
  const std::int32_t client = StartWithClients(1)[0];
  ASSERT_TRUE(WaitLinkUp());
  m_farEnd->SetAckRule([](const HostWrite& f, int) {
    return f.destination == 0x22 ? AckAction::NoAck : AckAction::Accept;
  });
  // The transmitter waits for an acknowledgement, the queue holds more jobs.
  ASSERT_EQ(m_cl2->Send(Job(client, 1, {1}, 2)), kOk);
  ASSERT_EQ(m_cl2->Send(Job(client, 2, {2}, 2)), kOk);
  ASSERT_TRUE(
      m_farEnd->WaitFor([](const auto& w) { return !w.empty() && w.back().destination == 0x22; },
                        milliseconds(2000)));
  const auto start = Clock::now();
  m_cl2.reset();
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_FALSE(m_port == nullptr);
  EXPECT_FALSE(m_portTable.Get(3).linkUp);
}

}  // namespace
}  // namespace tavra::stack::cl2test
