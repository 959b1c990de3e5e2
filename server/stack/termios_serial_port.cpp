#include "server/stack/termios_serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>

#include "server/stack/frame_parser.h"
#include "server/stack/line_timing.h"
#include "server/stack/receive_loop.h"
#include "server/stack/uart_probe.h"
#include "shared/com_port_map.h"

namespace tavra::stack {

namespace {

using Clock = LineClock;
using std::chrono::milliseconds;

constexpr int kReopenIntervalMs = 200;

[[nodiscard]] speed_t SpeedOf(int bitRate) {
  switch (bitRate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
  }
}

[[nodiscard]] bool Configure(int fd, speed_t speed) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) {
    return false;
  }
  ::cfmakeraw(&tio);
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNPAR | PARMRK);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0) {
    return false;
  }
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
    return false;
  }
  // DTR and RTS held inactive. Pseudo-terminals have no modem lines and refuse the request.
  int lines = TIOCM_DTR | TIOCM_RTS;
  return ::ioctl(fd, TIOCMBIC, &lines) == 0 || errno == ENOTTY || errno == EINVAL;
}

}  // namespace

// One open device: closed (exclusive mode cleared first) when the last holder lets go.
class TermiosSerialPort::Device {
 public:
  explicit Device(int fd) : m_fd(fd) {}
  ~Device() {
    if (m_exclusive) {
      // A pseudo-terminal keeps the flag after our close while its master is open, and
      // would then refuse the next opener who is not root.
      ::ioctl(m_fd, TIOCNXCL);
    }
    ::close(m_fd);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  [[nodiscard]] int Fd() const { return m_fd; }
  void MarkExclusive() { m_exclusive = true; }

 private:
  const int m_fd;
  bool m_exclusive = false;
};

TermiosSerialPort::TermiosSerialPort() = default;

TermiosSerialPort::~TermiosSerialPort() {
  Close();
}

Result TermiosSerialPort::OpenDevice(const std::string& path,
                                     int bitRate,
                                     std::shared_ptr<Device>& out,
                                     int& systemError) const {
  systemError = 0;
  const speed_t speed = SpeedOf(bitRate);
  if (speed == B0) {
    systemError = EINVAL;
    return kPortOpenError;
  }
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    systemError = errno;
    switch (systemError) {
      case ENOENT:
      case ENOTDIR:
      case ENXIO:
      case ENODEV: return kPortNotFound;
      case EBUSY: return kPortInUse;  // TIOCEXCL of another program (we are not root)
      default: return kPortOpenError;
    }
  }
  auto device = std::make_shared<Device>(fd);
  if (NoUartBehind(ProbeUart(fd))) {
    systemError = ENODEV;
    return kPortNotFound;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    systemError = errno;
    return systemError == EWOULDBLOCK ? kPortInUse : kPortOpenError;
  }
  // Root passes TIOCEXCL of others at open; a port already made exclusive is in use all the same.
  int alreadyExclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &alreadyExclusive) == 0 && alreadyExclusive != 0) {
    systemError = EBUSY;
    return kPortInUse;
  }
  if (::ioctl(fd, TIOCEXCL) != 0) {
    systemError = errno;
    return systemError == EBUSY ? kPortInUse : kPortOpenError;
  }
  device->MarkExclusive();
  if (!Configure(fd, speed)) {
    systemError = errno;
    return kPortOpenError;
  }
  out = std::move(device);
  return kOk;
}

Result TermiosSerialPort::Open(int portNumber, int bitRate) {
  Close();
  const std::optional<std::string> path = ResolveComPort(portNumber);
  if (!path) {
    return kPortNotFound;
  }
  std::lock_guard config(m_configMutex);
  std::shared_ptr<Device> device;
  int systemError = 0;
  const Result result = OpenDevice(*path, bitRate, device, systemError);
  if (result != kOk) {
    if (systemError == EACCES || systemError == EPERM) {
      std::fprintf(stderr,
                   "TavraLink: %s (%s): permission denied. The user must be a member of the "
                   "'dialout' group: sudo usermod -aG dialout $USER, then log in again.\n",
                   ComPortName(portNumber).c_str(), path->c_str());
    }
    return result;
  }
  m_writesAborted.Reset();
  std::lock_guard lock(m_deviceMutex);
  m_device = std::move(device);
  m_path = *path;
  m_bitRate = bitRate;
  ++m_generation;
  m_deviceChanged.notify_all();
  InterruptReceive();  // a loop that already runs starts reading the new device
  return kOk;
}

void TermiosSerialPort::Close() {
  std::shared_ptr<Device> old;
  {
    std::lock_guard lock(m_deviceMutex);
    old = std::move(m_device);
    m_device.reset();
    m_path.clear();
    ++m_generation;
    m_deviceChanged.notify_all();
  }
  // A loop still running lets go of the device too.
  InterruptReceive();
  // `old` is closed here, or by whichever thread still holds it when it lets go.
}

std::shared_ptr<TermiosSerialPort::Device> TermiosSerialPort::CurrentDevice() const {
  std::lock_guard lock(m_deviceMutex);
  return m_device;
}

std::string TermiosSerialPort::DevicePath() const {
  std::lock_guard lock(m_deviceMutex);
  return m_path;
}

bool TermiosSerialPort::IsDeviceOpen() const {
  std::lock_guard lock(m_deviceMutex);
  return m_device != nullptr;
}

bool TermiosSerialPort::WaitDeviceOpen(bool open, milliseconds timeout) const {
  std::unique_lock lock(m_deviceMutex);
  return m_deviceChanged.wait_for(lock, timeout, [&] { return (m_device != nullptr) == open; });
}

int TermiosSerialPort::CurrentBitRate() const {
  std::lock_guard lock(m_deviceMutex);
  return m_bitRate;
}

Result TermiosSerialPort::SetBitRate(int bitRate) {
  const speed_t speed = SpeedOf(bitRate);
  if (speed == B0) {
    return EINVAL;
  }
  {
    std::lock_guard config(m_configMutex);
    const std::shared_ptr<Device> device = CurrentDevice();
    std::unique_lock lock(m_deviceMutex);
    if (m_path.empty()) {
      return EBADF;
    }
    if (!device) {
      // The device is gone for now; it comes back at this rate.
      m_bitRate = bitRate;
      return kOk;
    }
    lock.unlock();
    termios tio{};
    if (::tcgetattr(device->Fd(), &tio) != 0) {
      return errno;
    }
    if (::cfgetospeed(&tio) == speed) {
      lock.lock();
      m_bitRate = bitRate;
      return kOk;
    }
  }
  // The pause starts once the last frame at the old rate has left the line.
  {
    std::lock_guard writeLock(m_writeMutex);
    if (const std::shared_ptr<Device> device = CurrentDevice()) {
      const auto now = Clock::now();
      (void)WaitOnLine(device->Fd(), now, now + kDataFrameLimit, kWriteTimeout);
    }
  }
  std::this_thread::sleep_for(kBitRatePause);

  std::lock_guard config(m_configMutex);
  const std::shared_ptr<Device> device = CurrentDevice();
  if (device) {
    termios tio{};
    if (::tcgetattr(device->Fd(), &tio) != 0) {
      return errno;
    }
    if (::cfsetispeed(&tio, speed) != 0 || ::cfsetospeed(&tio, speed) != 0 ||
        ::tcsetattr(device->Fd(), TCSANOW, &tio) != 0) {
      return errno;
    }
  }
  std::lock_guard lock(m_deviceMutex);
  if (m_path.empty()) {
    return EBADF;
  }
  m_bitRate = bitRate;
  return kOk;
}

Result TermiosSerialPort::WriteAll(std::span<const std::uint8_t> bytes,
                                   milliseconds limit,
                                   Result timeoutResult) {
  std::lock_guard writeLock(m_writeMutex);
  const std::shared_ptr<Device> device = CurrentDevice();
  if (!device || m_writesAborted.IsSet()) {
    return kWriteFailed;
  }
  const int fd = device->Fd();
  const auto start = Clock::now();
  const auto deadline = start + limit;
  const auto lineEnd = start + LineTime(bytes.size(), CurrentBitRate());
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      const int error = errno;
      ::tcflush(fd, TCOFLUSH);
      if (error == EIO || error == ENXIO) {
        DropDevice(device);  // pulled: the receive loop waits for it to return
        InterruptReceive();
      }
      return kWriteFailed;
    }
    // The output queue is full: wait for room until the limit.
    const int left = MillisecondsLeft(deadline);
    pollfd p{fd, POLLOUT, 0};
    const int rc = left > 0 ? ::poll(&p, 1, left) : 0;
    if (rc < 0 && errno == EINTR) {
      continue;
    }
    if (rc == 0) {
      ::tcflush(fd, TCOFLUSH);  // abort what is still queued
      return timeoutResult;
    }
    if (rc < 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      ::tcflush(fd, TCOFLUSH);
      return kWriteFailed;
    }
  }
  return WaitOnLine(fd, lineEnd, deadline, timeoutResult);
}

Result TermiosSerialPort::WaitOnLine(int fd,
                                     Clock::time_point lineEnd,
                                     Clock::time_point deadline,
                                     Result timeoutResult) {
  const int bitRate = std::max(CurrentBitRate(), 1);
  for (;;) {
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0) {
      queued = 0;  // a device without the count: the line time alone
    }
    const LineWaitStep step = NextLineWait(queued, Clock::now(), lineEnd, deadline, bitRate);
    if (step.kind == LineWaitStep::Kind::kDone) {
      return kOk;
    }
    if (step.kind == LineWaitStep::Kind::kTimedOut) {
      ::tcflush(fd, TCOFLUSH);  // abort what is still queued
      return timeoutResult;
    }
    // To the point in time, not rounded up to milliseconds: at 9600 bit/s the rounding of two
    // writes per block added up to a few percent of the line time.
    if (m_writesAborted.WaitUntil(step.until)) {
      ::tcflush(fd, TCOFLUSH);
      return kWriteFailed;
    }
  }
}

void TermiosSerialPort::DropDevice(const std::shared_ptr<Device>& device) {
  {
    std::lock_guard lock(m_deviceMutex);
    if (m_device != device) {
      return;  // already dropped (by the other side) or replaced
    }
    m_device.reset();
    m_deviceChanged.notify_all();
    std::fprintf(stderr, "TavraLink: %s: device lost, waiting for it to return\n", m_path.c_str());
  }
  TellDeviceLost();
}

void TermiosSerialPort::TryReopen() {
  std::lock_guard config(m_configMutex);
  std::string path;
  int bitRate = 0;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(m_deviceMutex);
    if (m_path.empty() || m_device) {
      return;
    }
    path = m_path;
    bitRate = m_bitRate;
    generation = m_generation;
  }
  std::shared_ptr<Device> device;
  int systemError = 0;
  if (OpenDevice(path, bitRate, device, systemError) != kOk) {
    return;  // not back yet (or held by another program): try again later
  }
  {
    std::lock_guard lock(m_deviceMutex);
    if (generation != m_generation) {
      return;  // closed or opened anew meanwhile: this device is closed again on return
    }
    m_device = std::move(device);
    m_deviceChanged.notify_all();
  }
  std::fprintf(stderr, "TavraLink: %s: device reopened\n", path.c_str());
  TellDeviceBack();
}

int TermiosSerialPort::ReopenDelayMs() const {
  std::lock_guard lock(m_deviceMutex);
  return m_path.empty() ? -1 : kReopenIntervalMs;  // closed: nothing to read until stopped
}

bool TermiosSerialPort::ReadAvailable(Device& device, short events, ReceivePoller& poller) {
  bool lost = (events & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  bool first = true;
  const std::span<std::uint8_t> buffer = poller.Buffer();
  for (;;) {
    const ssize_t n = ::read(device.Fd(), buffer.data(), buffer.size());
    if (n > 0) {
      poller.Feed(buffer.first(static_cast<std::size_t>(n)));
      poller.NoteActivity();
      first = false;
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    }
    // 0 bytes right after poll reported input: the device has hung up (as EIO does).
    if (n < 0 || first) {
      lost = true;
    }
    break;
  }
  return !lost;
}

Result TermiosSerialPort::ReceiveLoop(Event& stop, FrameParser& parser) {
  return RunReceiveLoop(stop, parser, m_wake, *this);
}

}  // namespace tavra::stack
