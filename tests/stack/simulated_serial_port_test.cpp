// The in-process serial port: far-end callbacks, injected bytes and pauses, open and write
// results, bit-rate history, and its receive loop.

#include "server/stack/simulated_serial_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "frame_sink_support.h"
#include "receive_thread_support.h"
#include "server/stack/frame_codec.h"

namespace tavra::stack {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

const Bytes kExample{0x02, 0x25, 0x21, 0x21, 0x70, 0x10, 0x02, 0x41, 0x03, 0x1F};
const Bytes kExampleHead(kExample.begin(), kExample.begin() + 5);
const Bytes kExampleTail(kExample.begin() + 5, kExample.end());

struct FarEndLog {
  std::mutex mutex;
  std::vector<std::pair<std::string, int>> writes;  // bytes as text, bit rate
};

TEST(SimulatedSerialPortTest, FarEndSeesEveryWriteAtTheRateInForce) {
  SimulatedSerialPort port;
  FarEndLog log;
  port.SetFarEnd([&log](std::span<const std::uint8_t> bytes, int bitRate) {
    std::lock_guard lock(log.mutex);
    log.writes.emplace_back(test::Hex(bytes), bitRate);
  });
  port.SetSkipBitRatePause(true);
  ASSERT_EQ(port.Open(4, 9600), kOk);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.WriteDataFrame(kExample), kOk);
  EXPECT_EQ(port.SetBitRate(57600), kOk);
  EXPECT_EQ(port.CurrentBitRate(), 57600);
  EXPECT_EQ(port.WriteAckFrame(0x45), kOk);
  EXPECT_EQ(port.SetBitRate(9600), kOk);

  const std::vector<std::pair<std::string, int>> expected{{"02 25 21 21 70 10 02 41 03 1F", 9600},
                                                          {"02 45 47", 57600}};
  EXPECT_EQ(log.writes, expected);
  EXPECT_EQ(port.Written(), (std::vector<Bytes>{kExample, {0x02, 0x45, 0x47}}));
  EXPECT_EQ(port.BitRateHistory(), (std::vector<int>{9600, 57600, 9600}));
}

TEST(SimulatedSerialPortTest, SetBitRateResults) {
  SimulatedSerialPort port;
  EXPECT_EQ(port.SetBitRate(19200), EBADF);
  ASSERT_EQ(port.Open(1, 9600), kOk);

  auto start = Clock::now();
  EXPECT_EQ(port.SetBitRate(9600), kOk);
  EXPECT_LT(Clock::now() - start, 150ms);

  start = Clock::now();
  EXPECT_EQ(port.SetBitRate(38400), kOk);
  EXPECT_GE(Clock::now() - start, 200ms) << "the pause before a change";

  EXPECT_EQ(port.SetBitRate(4800), EINVAL);
  EXPECT_EQ(port.CurrentBitRate(), 38400);
  EXPECT_EQ(port.BitRateHistory(), (std::vector<int>{9600, 38400}));
}

TEST(SimulatedSerialPortTest, OpenResultAppliesToTheNextOpen) {
  SimulatedSerialPort port;
  port.SetOpenResult(kPortInUse);
  EXPECT_EQ(port.Open(2, 9600), kPortInUse);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_TRUE(port.BitRateHistory().empty());
  EXPECT_EQ(port.Open(2, 9600), kOk);
  EXPECT_TRUE(port.IsOpen());
  port.Close();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.WriteDataFrame(kExample), kWriteFailed);
  EXPECT_EQ(port.WriteAckFrame(0x45), kWriteFailed);
  EXPECT_TRUE(port.Written().empty());
}

TEST(SimulatedSerialPortTest, WriteResultFailsDataFramesOnly) {
  SimulatedSerialPort port;
  int farEndCalls = 0;
  port.SetFarEnd([&farEndCalls](std::span<const std::uint8_t>, int) { ++farEndCalls; });
  ASSERT_EQ(port.Open(1, 9600), kOk);
  port.SetWriteResult(kWriteTimeout);
  EXPECT_EQ(port.WriteDataFrame(kExample), kWriteTimeout);
  EXPECT_EQ(port.WriteDataFrame(kExample), kWriteTimeout);
  EXPECT_EQ(port.WriteAckFrame(0x45), kOk);
  port.SetWriteResult(kOk);
  EXPECT_EQ(port.WriteDataFrame(kExample), kOk);
  EXPECT_EQ(farEndCalls, 2);
  EXPECT_EQ(port.Written(), (std::vector<Bytes>{{0x02, 0x45, 0x47}, kExample}));
}

class SimulatedReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(m_port.Open(1, 9600), kOk); }

  SimulatedSerialPort m_port;
  test::RecordingSink m_sink;
  FrameParser m_parser{m_sink};
  test::ReceiveThread m_loop{m_port, m_parser};
};

TEST_F(SimulatedReceiveTest, InjectedBytesReachTheParser) {
  m_port.InjectReceived(kExampleHead);
  m_port.InjectReceived(kExampleTail);
  m_port.InjectReceived(Bytes{0x02, 0x45, 0x47});
  ASSERT_TRUE(m_port.WaitUntilReceived(5000));
  EXPECT_EQ(m_sink.Outputs(), (Strings{"answer 45", "data 1 25 21 21 [70 02 41]", "ack 45"}));
}

TEST_F(SimulatedReceiveTest, InjectedPauseDropsAPartialFrame) {
  m_port.InjectReceived(kExampleHead);
  m_port.InjectPause();
  m_port.InjectReceived(kExampleTail);
  m_port.InjectReceived(Bytes{0x02, 0x45, 0x47});
  ASSERT_TRUE(m_port.WaitUntilReceived(5000));
  EXPECT_EQ(m_sink.Outputs(), (Strings{"ack 45"}));
}

TEST_F(SimulatedReceiveTest, RealPauseOf100msDropsAPartialFrame) {
  m_port.InjectReceived(kExampleHead);
  ASSERT_TRUE(m_port.WaitUntilReceived(5000));
  std::this_thread::sleep_for(250ms);  // the pause under test, not a synchronisation
  m_port.InjectReceived(kExampleTail);
  m_port.InjectReceived(Bytes{0x02, 0x45, 0x47});
  ASSERT_TRUE(m_port.WaitUntilReceived(5000));
  EXPECT_EQ(m_sink.Outputs(), (Strings{"ack 45"}));
}

TEST_F(SimulatedReceiveTest, FarEndMayAnswerFromTheWrite) {
  m_port.SetFarEnd([this](std::span<const std::uint8_t> bytes, int) {
    if (bytes.size() > 3) {
      m_port.InjectReceived(EncodeAckFrame(static_cast<std::uint8_t>(0x40 | (bytes[1] & 0x1F))));
    }
  });
  EXPECT_EQ(m_port.WriteDataFrame(EncodeDataFrame(9, 0x22, 0x21, Bytes{0x01})), kOk);
  ASSERT_TRUE(m_sink.WaitFor("ack", 1, 5s));
  EXPECT_EQ(m_sink.Outputs(), (Strings{"ack 49"}));
}

TEST(SimulatedSerialPortTest, LoopStopsAndStartsWithNoLastSequence) {
  SimulatedSerialPort port;
  ASSERT_EQ(port.Open(1, 9600), kOk);
  test::RecordingSink sink;
  FrameParser parser(sink);
  for (int run = 0; run < 2; ++run) {
    test::ReceiveThread loop(port, parser);
    port.InjectReceived(kExample);
    ASSERT_TRUE(port.WaitUntilReceived(5000));
    EXPECT_TRUE(loop.Stop(1000ms));
  }
  // Each start of the loop forgets the last sequence: the same frame is new again.
  EXPECT_EQ(sink.Count("data"), 2U);
  EXPECT_EQ(sink.Count("answer 45"), 2U);
}

TEST(SimulatedSerialPortTest, WaitUntilReceivedTimesOutWithoutALoop) {
  SimulatedSerialPort port;
  EXPECT_TRUE(port.WaitUntilReceived(0));
  port.InjectReceived(kExample);
  const auto start = Clock::now();
  EXPECT_FALSE(port.WaitUntilReceived(50));
  EXPECT_GE(Clock::now() - start, 50ms);
}

}  // namespace
}  // namespace tavra::stack
