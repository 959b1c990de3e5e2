// The serial port driver on real pseudo-terminals: open results, exclusive use, line settings,
// bit-rate changes, write limits, the receive loop's 100 ms rule, stop, and hang-up recovery.

#include "server/stack/termios_serial_port.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "frame_sink_support.h"
#include "receive_thread_support.h"
#include "server/stack/frame_codec.h"
#include "tests/common/port_dir.h"
#include "tests/common/pty_pair.h"

namespace tavra::stack {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using test::PortDir;
using test::PtyPair;
using test::ReceiveThread;
using test::RecordingSink;

const Bytes kExample{0x02, 0x25, 0x21, 0x21, 0x70, 0x10, 0x02, 0x41, 0x03, 0x1F};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

// A descriptor of the slave side opened by the test itself (to look at its settings).
class SlaveFd {
 public:
  explicit SlaveFd(const std::string& path)
      : m_fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
  ~SlaveFd() {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
  }
  SlaveFd(const SlaveFd&) = delete;
  SlaveFd& operator=(const SlaveFd&) = delete;
  [[nodiscard]] int Get() const { return m_fd; }
  [[nodiscard]] termios Settings() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(m_fd, &t), 0);
    return t;
  }
  [[nodiscard]] int Exclusive() const {
    int value = -1;
    EXPECT_EQ(::ioctl(m_fd, TIOCGEXCL, &value), 0);
    return value;
  }

 private:
  int m_fd;
};

// The COM number the tests publish their pseudo-terminal as.
constexpr int kPort = 3;

class TermiosPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_pty.Valid()) << "no pseudo-terminal";
    ASSERT_FALSE(m_dir.Path().empty());
    ASSERT_TRUE(m_dir.Publish(kPort, m_pty.SlavePath()));
  }

  void StartLoop() { m_loop = std::make_unique<ReceiveThread>(m_port, m_parser); }

  PortDir m_dir;
  PtyPair m_pty;
  TermiosSerialPort m_port;
  RecordingSink m_sink;
  FrameParser m_parser{m_sink};
  std::unique_ptr<ReceiveThread> m_loop;  // declared last: stopped first
};

struct OpenCase {
  const char* name;
  int portNumber;
  int bitRate;
  enum class Entry { Pty, None, Dangling, File, Directory } entry;
  Result expected;
};

class TermiosOpenResults : public TermiosPortTest,
                           public ::testing::WithParamInterface<OpenCase> {};

TEST_P(TermiosOpenResults, MapsTheFailure) {
  const OpenCase& c = GetParam();
  const std::string entry = m_dir.PathOf(c.portNumber);
  switch (c.entry) {
    case OpenCase::Entry::Pty: break;
    case OpenCase::Entry::None: m_dir.Remove(c.portNumber); break;
    case OpenCase::Entry::Dangling:
      ASSERT_TRUE(m_dir.Publish(c.portNumber, "/nonexistent/tty"));
      break;
    case OpenCase::Entry::File: {
      m_dir.Remove(c.portNumber);
      const int fd = ::open(entry.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0);
      ::close(fd);
      break;
    }
    case OpenCase::Entry::Directory:
      m_dir.Remove(c.portNumber);
      ASSERT_EQ(::mkdir(entry.c_str(), 0755), 0);
      break;
  }
  EXPECT_EQ(m_port.Open(c.portNumber, c.bitRate), c.expected);
  EXPECT_EQ(m_port.IsDeviceOpen(), c.expected == kOk);
  // A failed open leaves nothing locked behind.
  ASSERT_TRUE(m_dir.Publish(kPort, m_pty.SlavePath()));
  TermiosSerialPort other;
  EXPECT_EQ(other.Open(kPort, 9600), c.expected == kOk ? kPortInUse : kOk);
}

INSTANTIATE_TEST_SUITE_P(
    Driver,
    TermiosOpenResults,
    ::testing::Values(
        OpenCase{"Pty", kPort, 9600, OpenCase::Entry::Pty, kOk},
        OpenCase{"NoSuchDevice", kPort, 9600, OpenCase::Entry::None, kPortNotFound},
        OpenCase{"LinkToNothing", kPort, 9600, OpenCase::Entry::Dangling, kPortNotFound},
        // A regular file in place of the link is a mapping file naming no network port.
        OpenCase{"NotATerminal", 4, 9600, OpenCase::Entry::File, kPortNotFound},
        OpenCase{"Directory", 4, 9600, OpenCase::Entry::Directory, kPortOpenError},
        OpenCase{"PortNumberTooHigh", 10, 9600, OpenCase::Entry::Pty, kPortNotFound},
        OpenCase{"NegativePortNumber", -1, 9600, OpenCase::Entry::Pty, kPortNotFound},
        OpenCase{"UnsupportedBitRate", kPort, 1234, OpenCase::Entry::Pty, kPortOpenError}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(TermiosPortTest, SecondOpenerGetsInUse) {
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  EXPECT_EQ(m_port.DevicePath(), m_dir.PathOf(kPort));
  TermiosSerialPort second;
  // As root TIOCEXCL does not hold anyone back: the lock does.
  EXPECT_EQ(second.Open(kPort, 9600), kPortInUse);
  EXPECT_FALSE(second.IsDeviceOpen());
  m_port.Close();
  EXPECT_EQ(second.Open(kPort, 9600), kOk);
}

TEST_F(TermiosPortTest, ProgramsHoldingThePortGiveInUse) {
  struct Holder {
    const char* how;
    bool lock;
    bool exclusive;
  };
  for (const Holder h : {Holder{"lock", true, false}, Holder{"exclusive mode", false, true}}) {
    SlaveFd foreign(m_pty.SlavePath());
    ASSERT_GE(foreign.Get(), 0);
    if (h.lock) {
      ASSERT_EQ(::flock(foreign.Get(), LOCK_EX | LOCK_NB), 0);
    }
    if (h.exclusive) {
      ASSERT_EQ(::ioctl(foreign.Get(), TIOCEXCL), 0);
    }
    EXPECT_EQ(m_port.Open(kPort, 9600), kPortInUse) << h.how;
    if (h.exclusive) {
      EXPECT_EQ(foreign.Exclusive(), 1) << "the other program's mode is left alone";
      ASSERT_EQ(::ioctl(foreign.Get(), TIOCNXCL), 0);
    }
  }
  EXPECT_EQ(m_port.Open(kPort, 9600), kOk);
}

TEST_F(TermiosPortTest, AppliesTheFixedLineSettings) {
  SlaveFd slave(m_pty.SlavePath());
  ASSERT_GE(slave.Get(), 0);
  // Start from the opposite of every setting, so that each one must be made by Open.
  termios t = slave.Settings();
  t.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  t.c_iflag |= IXON | IXOFF | ICRNL | ISTRIP | INPCK;
  t.c_oflag |= OPOST | ONLCR;
  t.c_cflag |= PARENB | CSTOPB | HUPCL | CRTSCTS;
  t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL | CSIZE);
  t.c_cflag |= CS7;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 5;
  ASSERT_EQ(::cfsetspeed(&t, B1200), 0);
  ASSERT_EQ(::tcsetattr(slave.Get(), TCSANOW, &t), 0);

  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  const termios s = slave.Settings();
  EXPECT_EQ(s.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(s.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  EXPECT_EQ(s.c_cflag & (PARENB | CSTOPB | HUPCL | CRTSCTS), 0U);
  EXPECT_EQ(s.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0U);
  EXPECT_EQ(s.c_oflag & OPOST, 0U);
  EXPECT_EQ(s.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0U);
  EXPECT_EQ(s.c_cc[VMIN], 0);
  EXPECT_EQ(s.c_cc[VTIME], 0);
  EXPECT_EQ(::cfgetospeed(&s), static_cast<speed_t>(B9600));
  EXPECT_EQ(::cfgetispeed(&s), static_cast<speed_t>(B9600));
  EXPECT_EQ(m_port.CurrentBitRate(), 9600);
  EXPECT_EQ(slave.Exclusive(), 1);

  // Closing clears the exclusive mode, which a pseudo-terminal would otherwise keep.
  m_port.Close();
  EXPECT_EQ(slave.Exclusive(), 0);
}

TEST_F(TermiosPortTest, SetBitRate) {
  EXPECT_EQ(m_port.SetBitRate(9600), EBADF);
  SlaveFd slave(m_pty.SlavePath());
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);

  auto start = Clock::now();
  EXPECT_EQ(m_port.SetBitRate(9600), kOk);
  EXPECT_LT(Clock::now() - start, 150ms) << "no pause when the rate is in force";

  start = Clock::now();
  EXPECT_EQ(m_port.SetBitRate(57600), kOk);
  EXPECT_GE(Clock::now() - start, 200ms);
  EXPECT_EQ(::cfgetospeed(&static_cast<const termios&>(slave.Settings())),
            static_cast<speed_t>(B57600));
  EXPECT_EQ(m_port.CurrentBitRate(), 57600);

  EXPECT_EQ(m_port.SetBitRate(1234), EINVAL);
  EXPECT_EQ(m_port.CurrentBitRate(), 57600);
}

TEST_F(TermiosPortTest, WritesReachTheFarEnd) {
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  EXPECT_EQ(m_port.WriteDataFrame(kExample), kOk);
  EXPECT_EQ(m_pty.Read(kExample.size(), 2s), kExample);
  EXPECT_EQ(m_port.WriteAckFrame(0x45), kOk);
  EXPECT_EQ(m_pty.Read(3, 2s), (Bytes{0x02, 0x45, 0x47}));
  // No byte changed on the way (no output processing): 0x0A, 0x0D, 0x11, 0x13, 0xFF pass.
  const Bytes raw{0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFF, 0x00};
  EXPECT_EQ(m_port.WriteDataFrame(raw), kOk);
  EXPECT_EQ(m_pty.Read(raw.size(), 2s), raw);

  m_port.Close();
  EXPECT_EQ(m_port.WriteDataFrame(kExample), kWriteFailed);
  EXPECT_EQ(m_port.WriteAckFrame(0x45), kWriteFailed);
}

TEST_F(TermiosPortTest, DataFrameNotWrittenIn4000msTimesOut) {
  // Each frame lasts its line time (178 ms at 115200 bit/s) until the pseudo-terminal is full.
  ASSERT_EQ(m_port.Open(kPort, 115200), kOk);
  const Bytes frame = EncodeDataFrame(1, 0x21, 0x21, Bytes(kMaxFrameData, kDle));
  // Nobody reads the master: the pseudo-terminal fills up and a write has to wait.
  Result result = kOk;
  Clock::duration lastWrite{};
  int written = 0;
  for (int i = 0; i < 1000 && result == kOk; ++i) {
    const auto start = Clock::now();
    result = m_port.WriteDataFrame(frame);
    lastWrite = Clock::now() - start;
    written += result == kOk ? 1 : 0;
  }
  EXPECT_GT(written, 0);
  EXPECT_EQ(result, kWriteTimeout);
  EXPECT_GE(lastWrite, 3950ms);
  EXPECT_LT(lastWrite, 8000ms);
}

TEST_F(TermiosPortTest, AckFrameNotWrittenIn500msFails) {
  ASSERT_EQ(m_port.Open(kPort, 115200), kOk);
  Result result = kOk;
  Clock::duration lastWrite{};
  for (int i = 0; i < 200000 && result == kOk; ++i) {
    const auto start = Clock::now();
    result = m_port.WriteAckFrame(0x40 | (i & 0x1F));
    lastWrite = Clock::now() - start;
  }
  EXPECT_EQ(result, kWriteFailed);
  EXPECT_GE(lastWrite, 450ms);
  EXPECT_LT(lastWrite, 3000ms);
}

TEST_F(TermiosPortTest, ReceivesFramesInOrder) {
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  StartLoop();
  const Bytes reply = EncodeDataFrame(6, 0x20, 0x20, Bytes{0x21});
  ASSERT_TRUE(m_pty.Write(Cat({kExample, {0x02, 0xC6, 0xC8}, reply})));
  ASSERT_TRUE(m_sink.WaitFor("link", 1, 5s));
  EXPECT_EQ(m_sink.Outputs(),
            (std::vector<std::string>{"answer 45", "data 1 25 21 21 [70 02 41]", "ack C6",
                                      "answer 46", "link 26 20 20 [21]"}));
}

TEST_F(TermiosPortTest, LoopStartedBeforeOpenReadsTheDevice) {
  StartLoop();
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  ASSERT_TRUE(m_pty.Write(kExample));
  ASSERT_TRUE(m_sink.WaitFor("data", 1, 5s));
}

TEST_F(TermiosPortTest, PauseOf100msDropsAPartialFrame) {
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  StartLoop();
  // The acknowledgement in front tells when the loop has read the first part.
  ASSERT_TRUE(
      m_pty.Write(Cat({{0x02, 0x45, 0x47}, Bytes(kExample.begin(), kExample.begin() + 5)})));
  ASSERT_TRUE(m_sink.WaitFor("ack 45", 1, 5s));
  std::this_thread::sleep_for(250ms);  // the pause under test, not a synchronisation
  ASSERT_TRUE(m_pty.Write(Cat({Bytes(kExample.begin() + 5, kExample.end()), {0x02, 0x46, 0x48}})));
  ASSERT_TRUE(m_sink.WaitFor("ack 46", 1, 5s));
  EXPECT_EQ(m_sink.Outputs(), (std::vector<std::string>{"ack 45", "ack 46"}));
}

TEST_F(TermiosPortTest, ShorterPausesKeepTheFrame) {
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  StartLoop();
  const auto start = Clock::now();
  ASSERT_TRUE(
      m_pty.Write(Cat({{0x02, 0x45, 0x47}, Bytes(kExample.begin(), kExample.begin() + 5)})));
  ASSERT_TRUE(m_sink.WaitFor("ack 45", 1, 5s));
  std::this_thread::sleep_for(20ms);  // a pause the loop must bridge
  const auto gap = Clock::now() - start;
  ASSERT_TRUE(m_pty.Write(Bytes(kExample.begin() + 5, kExample.end())));
  if (gap >= 80ms) {
    GTEST_SKIP() << "the machine was too slow to make a short pause";
  }
  ASSERT_TRUE(m_sink.WaitFor("data", 1, 5s));
  EXPECT_EQ(m_sink.Outputs(),
            (std::vector<std::string>{"ack 45", "answer 45", "data 1 25 21 21 [70 02 41]"}));
}

TEST_F(TermiosPortTest, StopEndsTheLoopPromptly) {
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  {
    // Waiting without limit.
    ReceiveThread loop(m_port, m_parser);
    EXPECT_TRUE(loop.Stop(1000ms));
  }
  {
    // Waiting on the 100 ms pause after activity.
    ReceiveThread loop(m_port, m_parser);
    ASSERT_TRUE(m_pty.Write(Bytes{0x02, 0x45, 0x47}));
    ASSERT_TRUE(m_sink.WaitFor("ack", 1, 5s));
    EXPECT_TRUE(loop.Stop(1000ms));
  }
  {
    // Not open at all.
    m_port.Close();
    ReceiveThread loop(m_port, m_parser);
    EXPECT_TRUE(loop.Stop(1000ms));
  }
}

TEST_F(TermiosPortTest, LostDeviceIsWaitedForAndReopened) {
  ASSERT_EQ(m_port.Open(kPort, 9600), kOk);
  ASSERT_EQ(m_port.SetBitRate(19200), kOk);
  StartLoop();
  ASSERT_TRUE(m_pty.Write(kExample));
  ASSERT_TRUE(m_sink.WaitFor("data", 1, 5s));

  // Unplugged. The link goes first so that the loop cannot meet a stranger's new
  // pseudo-terminal under the old number.
  m_dir.Remove(kPort);
  m_pty.CloseMaster();
  ASSERT_TRUE(m_port.WaitDeviceOpen(false, 5s));
  EXPECT_EQ(m_port.WriteAckFrame(0x45), kWriteFailed);
  EXPECT_EQ(m_port.WriteDataFrame(kExample), kWriteFailed);

  // Waiting costs next to nothing.
  const auto cpuBefore = m_loop->CpuTime();
  std::this_thread::sleep_for(600ms);  // the window measured, not a synchronisation
  const auto cpuUsed = m_loop->CpuTime() - cpuBefore;
  EXPECT_LT(cpuUsed, 100ms);

  // Plugged in again at the same path.
  PtyPair replacement;
  ASSERT_TRUE(replacement.Valid());
  ASSERT_TRUE(m_dir.Publish(kPort, replacement.SlavePath()));
  ASSERT_TRUE(m_port.WaitDeviceOpen(true, 5s));
  EXPECT_EQ(m_port.CurrentBitRate(), 19200);
  if (::geteuid() == 0) {
    // Only root may look past the exclusive mode.
    SlaveFd slave(replacement.SlavePath());
    EXPECT_EQ(::cfgetospeed(&static_cast<const termios&>(slave.Settings())),
              static_cast<speed_t>(B19200));
    EXPECT_EQ(slave.Exclusive(), 1);
  }
  ASSERT_TRUE(replacement.Write(EncodeDataFrame(6, 0x21, 0x21, Bytes{0x55})));
  ASSERT_TRUE(m_sink.WaitFor("data", 2, 5s));
  EXPECT_EQ(m_sink.Outputs().back(), "data 1 26 21 21 [55]");
  EXPECT_EQ(m_port.WriteAckFrame(0x46), kOk);
  EXPECT_EQ(replacement.Read(3, 2s), (Bytes{0x02, 0x46, 0x48}));

  EXPECT_TRUE(m_loop->Stop(1000ms));
}

TEST_F(TermiosPortTest, WritesAndReadsRunTogether) {
  // Writes last their line time: 40 x 609 bytes take 2.1 s at 115200 bit/s.
  ASSERT_EQ(m_port.Open(kPort, 115200), kOk);
  StartLoop();
  constexpr int kFrames = 40;
  const Bytes frame = EncodeDataFrame(3, 0x22, 0x21, Bytes(300, 0x10));
  std::atomic<std::size_t> farEndGot{0};
  std::thread farEndReader(
      [&] { farEndGot = m_pty.Read(kFrames * (frame.size() + 3), 20s).size(); });
  std::vector<Result> results(kFrames * 2, -1);
  std::thread transmitter([&] {
    for (int i = 0; i < kFrames; ++i) {
      results[static_cast<std::size_t>(2 * i)] = m_port.WriteDataFrame(frame);
      results[static_cast<std::size_t>(2 * i + 1)] =
          m_port.WriteAckFrame(static_cast<std::uint8_t>(0x40 | (i & 0x1F)));
    }
  });
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_TRUE(m_pty.Write(EncodeDataFrame(static_cast<std::uint8_t>(i % 32), 0x21, 0x21,
                                            Bytes(200, static_cast<std::uint8_t>(i)))));
  }
  transmitter.join();
  farEndReader.join();
  EXPECT_TRUE(m_sink.WaitFor("data", kFrames, 10s));
  EXPECT_EQ(farEndGot.load(), kFrames * (frame.size() + 3));
  for (const Result r : results) {
    EXPECT_EQ(r, kOk);
  }
}

TEST(TermiosPortPermissionTest, PermissionDeniedGivesOpenErrorWithAHint) {
  PortDir dir;
  if (::geteuid() == 0) {
    PtyPair pty;
    ASSERT_TRUE(pty.Valid());
    ASSERT_TRUE(dir.Publish(1, pty.SlavePath()));
    // A user outside the dialout group, played by a child that gives up root.
    EXPECT_EXIT(
        {
          if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
          }
          TermiosSerialPort port;
          ::_exit(port.Open(1, 9600) == kPortOpenError ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "dialout");
  } else {
    const std::string entry = dir.PathOf(1);
    const int fd = ::open(entry.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0000);
    ASSERT_GE(fd, 0);
    ::close(fd);
    TermiosSerialPort port;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(port.Open(1, 9600), kPortOpenError);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::HasSubstr("dialout"));
  }
}

}  // namespace
}  // namespace tavra::stack
