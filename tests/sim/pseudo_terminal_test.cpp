// The simulated controller on a pseudo-terminal, as tavra-sim runs it: the symlink, frames
// through the slave, the host's rate read from the slave's settings, and clean removal.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "server/stack/frame_codec.h"
#include "sim/serial_line.h"
#include "sim/simulated_controller.h"
#include "tests/common/temp_dir.h"

namespace tavra::sim::test {
namespace {

using namespace std::chrono_literals;

class PseudoTerminal : public ::testing::Test {
 protected:
  void TearDown() override {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_sim.reset();
  }

  void OpenHost(int bitRate) {
    m_fd = ::open(m_link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(m_fd, 0);
    SetHostRate(bitRate);
  }
  void SetHostRate(int bitRate) const {
    termios t{};
    ASSERT_EQ(tcgetattr(m_fd, &t), 0);
    cfmakeraw(&t);
    cfsetispeed(&t, BitRateToSpeed(bitRate));
    cfsetospeed(&t, BitRateToSpeed(bitRate));
    ASSERT_EQ(tcsetattr(m_fd, TCSANOW, &t), 0);
  }
  void Write(const std::vector<std::uint8_t>& bytes) const {
    ASSERT_EQ(::write(m_fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `count` bytes came or the time-out passed.
  std::vector<std::uint8_t> Read(std::size_t count, std::chrono::milliseconds timeout) {
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        break;
      }
      pollfd p{m_fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        break;
      }
      std::uint8_t buffer[256];
      const ssize_t n = ::read(m_fd, buffer, std::min(sizeof buffer, count - out.size()));
      if (n > 0) {
        out.insert(out.end(), buffer, buffer + n);
      }
    }
    return out;
  }

  tavra::test::TempDir m_dir{"tavra-sim-pty"};
  std::string m_link = (m_dir / "COM4").string();
  int m_fd = -1;
  std::unique_ptr<SimulatedController> m_sim;
};

TEST_F(PseudoTerminal, ServesFramesThroughTheSymlinkAndRemovesIt) {
  m_sim = std::make_unique<SimulatedController>();
  std::string error;
  ASSERT_TRUE(m_sim->StartPseudoTerminal(m_link, &error)) << error;
  EXPECT_EQ(std::filesystem::read_symlink(m_link).string(), m_sim->SlavePath());
  OpenHost(9600);
  const std::vector<std::uint8_t> keepAlive{0x05, 0, 0, 0, 0};
  Write(stack::EncodeDataFrame(3, 0x20, 0x20, keepAlive));
  // The acknowledgement, then the answer 0x25 in a frame of its own.
  const std::vector<std::uint8_t> ack = Read(3, 2000ms);
  EXPECT_EQ(ack, (std::vector<std::uint8_t>{0x02, 0x43, 0x45}));
  const std::vector<std::uint8_t> answer = Read(7, 2000ms);
  ASSERT_EQ(answer.size(), 7u);
  EXPECT_EQ(answer[2], 0x20);
  EXPECT_EQ(answer[4], 0x25);
  m_sim->Stop();
  EXPECT_FALSE(std::filesystem::is_symlink(m_link));
}

TEST_F(PseudoTerminal, ExclusiveModeOfAHostThatEndedIsCleared) {
  m_sim = std::make_unique<SimulatedController>();
  std::string error;
  ASSERT_TRUE(m_sim->StartPseudoTerminal(m_link, &error)) << error;
  OpenHost(9600);
  ASSERT_EQ(::ioctl(m_fd, TIOCEXCL), 0);
  // The host ends without clearing it (as a killed server does): its descriptor just closes.
  ::close(m_fd);
  m_fd = -1;
  ASSERT_TRUE(m_sim->WaitUntil([&] { return m_sim->Counters().hostClosings == 1; }, 5000ms));
  // The next host opens the port (also without root) and finds it not exclusive.
  m_fd = ::open(m_link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(m_fd, 0) << std::strerror(errno);
  int exclusive = 1;
  ASSERT_EQ(::ioctl(m_fd, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

TEST_F(PseudoTerminal, NoticesTheHostRateAndIgnoresFramesAtAnother) {
  m_sim = std::make_unique<SimulatedController>();
  std::string error;
  ASSERT_TRUE(m_sim->StartPseudoTerminal(m_link, &error)) << error;
  OpenHost(38400);
  const std::vector<std::uint8_t> keepAlive{0x05, 0, 0, 0, 0};
  Write(stack::EncodeDataFrame(1, 0x20, 0x20, keepAlive));
  EXPECT_TRUE(Read(3, 200ms).empty());
  ASSERT_TRUE(
      m_sim->WaitUntil([&] { return m_sim->Counters().bytesLostRateMismatch == 11; }, 2000ms));
  EXPECT_EQ(m_sim->HostBitRatesSeen(), std::vector<int>{38400});
  SetHostRate(9600);
  Write(stack::EncodeDataFrame(2, 0x20, 0x20, keepAlive));
  EXPECT_EQ(Read(3, 2000ms), (std::vector<std::uint8_t>{0x02, 0x42, 0x44}));
  EXPECT_EQ(m_sim->HostBitRatesSeen(), (std::vector<int>{38400, 9600}));
}

TEST_F(PseudoTerminal, OldSymlinkIsReplacedButAFileIsNot) {
  std::filesystem::create_symlink("/nonexistent", m_link);
  m_sim = std::make_unique<SimulatedController>();
  std::string error;
  ASSERT_TRUE(m_sim->StartPseudoTerminal(m_link, &error)) << error;
  EXPECT_EQ(std::filesystem::read_symlink(m_link).string(), m_sim->SlavePath());
  m_sim.reset();

  const std::string file = (m_dir / "COM5").string();
  { std::ofstream(file) << "keep"; }
  SimulatedController other;
  EXPECT_FALSE(other.StartPseudoTerminal(file, &error));
  EXPECT_NE(error.find("not a symlink"), std::string::npos) << error;
  EXPECT_TRUE(std::filesystem::is_regular_file(file));
}

TEST(SerialLineSpeeds, MapBothWays) {
  for (int rate : {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}) {
    EXPECT_EQ(SpeedToBitRate(BitRateToSpeed(rate)), rate);
  }
  EXPECT_EQ(SpeedToBitRate(B300), 0);
}

}  // namespace
}  // namespace tavra::sim::test
