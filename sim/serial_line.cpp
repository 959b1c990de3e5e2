#include "sim/serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "server/stack/simulated_serial_port.h"

namespace tavra::sim {

namespace {

constexpr int kWriteTimeoutMs = 1000;
constexpr int kErrorBackoffMs = 50;

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

class PortLine final : public SerialLine {
 public:
  PortLine(stack::SimulatedSerialPort& port, ByteSink sink) : m_port(port) {
    m_port.SetFarEnd([sink = std::move(sink)](std::span<const std::uint8_t> bytes, int rate) {
      sink(bytes, rate);
    });
  }
  ~PortLine() override { Stop(); }
  PortLine(const PortLine&) = delete;
  PortLine& operator=(const PortLine&) = delete;

  void Write(std::span<const std::uint8_t> bytes) override { m_port.InjectReceived(bytes); }
  [[nodiscard]] int HostBitRate() const override { return m_port.CurrentBitRate(); }
  void SetOwnBitRate(int /*bitRate*/) override {}
  void Stop() override {
    if (!m_stopped.exchange(true)) {
      m_port.SetFarEnd({});
    }
  }
  [[nodiscard]] std::string HostPath() const override { return {}; }

 private:
  stack::SimulatedSerialPort& m_port;
  std::atomic<bool> m_stopped{false};
};

bool MakeRaw(int fd, int bitRate) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) {
    return false;
  }
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | HUPCL | CSTOPB | PARENB);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  const speed_t speed = BitRateToSpeed(bitRate);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

// A pseudo-terminal master or a tty device, read by its own thread.
class FdLine final : public SerialLine {
 public:
  // ioFd: the descriptor read and written; rateFd: where the host's settings are read
  // (the slave of a pseudo-terminal), -1 for a device.
  FdLine(
      int ioFd, int rateFd, std::string hostPath, std::string linkPath, bool device, ByteSink sink)
      : m_fd(ioFd),
        m_rateFd(rateFd),
        m_hostPath(std::move(hostPath)),
        m_linkPath(std::move(linkPath)),
        m_device(device),
        m_sink(std::move(sink)) {
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~FdLine() override { Stop(); }
  FdLine(const FdLine&) = delete;
  FdLine& operator=(const FdLine&) = delete;

  bool StartReader(std::string* error) {
    if (m_wakeFd < 0) {
      *error = SystemError("eventfd");
      return false;
    }
    m_reader = std::thread([this] { ReadLoop(); });
    return true;
  }

  void Write(std::span<const std::uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size() && !m_stopping.load()) {
      const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && errno != EAGAIN) {
        return;  // the line is gone; what is left is lost as on a pulled cable
      }
      std::array<pollfd, 2> fds{pollfd{m_fd, POLLOUT, 0}, pollfd{m_wakeFd, POLLIN, 0}};
      if (::poll(fds.data(), fds.size(), kWriteTimeoutMs) <= 0 || (fds[1].revents & POLLIN)) {
        return;  // nobody reads the other end: drop the rest
      }
    }
  }

  [[nodiscard]] int HostBitRate() const override {
    if (m_rateFd < 0) {
      return 0;
    }
    termios t{};
    if (tcgetattr(m_rateFd, &t) != 0) {
      return 0;
    }
    return SpeedToBitRate(cfgetospeed(&t));
  }

  void SetOwnBitRate(int bitRate) override {
    if (!m_device) {
      return;
    }
    tcdrain(m_fd);
    termios t{};
    if (tcgetattr(m_fd, &t) == 0) {
      cfsetispeed(&t, BitRateToSpeed(bitRate));
      cfsetospeed(&t, BitRateToSpeed(bitRate));
      tcsetattr(m_fd, TCSANOW, &t);
    }
  }

  void Stop() override {
    if (m_stopping.exchange(true)) {
      return;
    }
    if (m_wakeFd >= 0) {
      const std::uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    }
    if (m_reader.joinable()) {
      m_reader.join();
    }
    if (!m_linkPath.empty()) {
      // Only our own symlink is removed.
      std::array<char, 4096> target{};
      const ssize_t n = ::readlink(m_linkPath.c_str(), target.data(), target.size() - 1);
      if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == m_hostPath) {
        ::unlink(m_linkPath.c_str());
      }
    }
    if (m_device) {
      flock(m_fd, LOCK_UN);
    }
    ::close(m_fd);
    if (m_rateFd >= 0) {
      ::close(m_rateFd);
    }
    if (m_wakeFd >= 0) {
      ::close(m_wakeFd);
    }
  }

  [[nodiscard]] std::string HostPath() const override { return m_hostPath; }

 private:
  void ReadLoop() {
    std::array<std::uint8_t, 4096> buffer{};
    while (!m_stopping.load()) {
      std::array<pollfd, 2> fds{pollfd{m_fd, POLLIN, 0}, pollfd{m_wakeFd, POLLIN, 0}};
      const int ready = ::poll(fds.data(), fds.size(), -1);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;
      }
      if (fds[1].revents & POLLIN) {
        return;
      }
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = ::read(m_fd, buffer.data(), buffer.size());
        if (n > 0) {
          m_sink(std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)),
                 HostBitRate());
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          // Hang-up or error (a device unplugged): wait a little so this is no busy loop.
          std::array<pollfd, 1> wake{pollfd{m_wakeFd, POLLIN, 0}};
          ::poll(wake.data(), wake.size(), kErrorBackoffMs);
        }
      }
    }
  }

  int m_fd;
  int m_rateFd;
  int m_wakeFd = -1;
  std::string m_hostPath;
  std::string m_linkPath;
  bool m_device;
  ByteSink m_sink;
  std::atomic<bool> m_stopping{false};
  std::thread m_reader;
};

bool PlaceSymlink(const std::string& linkPath, const std::string& target, std::string* error) {
  struct stat st {};
  if (::lstat(linkPath.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = linkPath + ": exists and is not a symlink";
      return false;
    }
    ::unlink(linkPath.c_str());
  }
  if (::symlink(target.c_str(), linkPath.c_str()) != 0) {
    *error = SystemError("symlink " + linkPath);
    return false;
  }
  return true;
}

}  // namespace

int SpeedToBitRate(unsigned int speed) {
  switch (speed) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
  }
}

unsigned int BitRateToSpeed(int bitRate) {
  switch (bitRate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B9600;
  }
}

std::unique_ptr<SerialLine> MakePortLine(stack::SimulatedSerialPort& port, ByteSink sink) {
  return std::make_unique<PortLine>(port, std::move(sink));
}

std::unique_ptr<SerialLine> MakePseudoTerminalLine(ByteSink sink,
                                                   const std::string& linkPath,
                                                   std::string* error) {
  std::string ignored;
  std::string& why = error != nullptr ? *error : ignored;
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0) {
    why = SystemError("posix_openpt");
    return nullptr;
  }
  std::array<char, 256> name{};
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name.data(), name.size()) != 0) {
    why = SystemError("pseudo-terminal");
    ::close(master);
    return nullptr;
  }
  const std::string slavePath(name.data());
  // The controller keeps the slave open too: the master then never sees a hang-up when the
  // host closes the port, and the slave's settings (the host's bit rate) stay readable.
  const int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (slave < 0 || !MakeRaw(slave, 9600)) {
    why = SystemError("open " + slavePath);
    if (slave >= 0) {
      ::close(slave);
    }
    ::close(master);
    return nullptr;
  }
  if (!linkPath.empty() && !PlaceSymlink(linkPath, slavePath, &why)) {
    ::close(slave);
    ::close(master);
    return nullptr;
  }
  auto line = std::make_unique<FdLine>(master, slave, slavePath, linkPath, false, std::move(sink));
  if (!line->StartReader(&why)) {
    return nullptr;
  }
  return line;
}

std::unique_ptr<SerialLine> MakeDeviceLine(const std::string& devicePath,
                                           ByteSink sink,
                                           std::string* error) {
  std::string ignored;
  std::string& why = error != nullptr ? *error : ignored;
  const int fd = ::open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    why = SystemError("open " + devicePath);
    return nullptr;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = devicePath + ": in use by another program";
    ::close(fd);
    return nullptr;
  }
  if (!MakeRaw(fd, 9600)) {
    why = SystemError("configure " + devicePath);
    ::close(fd);
    return nullptr;
  }
  tcflush(fd, TCIOFLUSH);
  auto line = std::make_unique<FdLine>(fd, -1, devicePath, std::string(), true, std::move(sink));
  if (!line->StartReader(&why)) {
    return nullptr;
  }
  return line;
}

}  // namespace tavra::sim
