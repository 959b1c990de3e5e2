#include "sim/serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
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
  FdLine(int ioFd,
         int rateFd,
         std::string hostPath,
         std::string linkPath,
         bool device,
         ByteSink sink,
         std::function<void()> hostClosed = {})
      : m_fd(ioFd),
        m_rateFd(rateFd),
        m_hostPath(std::move(hostPath)),
        m_linkPath(std::move(linkPath)),
        m_device(device),
        m_sink(std::move(sink)),
        m_hostClosed(std::move(hostClosed)) {
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!m_device && m_rateFd >= 0) {
      // Opens and closes of the slave by anyone but us (our own descriptor is older).
      m_watchFd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
      if (m_watchFd >= 0 &&
          inotify_add_watch(m_watchFd, m_hostPath.c_str(), IN_OPEN | IN_CLOSE) < 0) {
        ::close(m_watchFd);
        m_watchFd = -1;
      }
    }
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
    if (m_watchFd >= 0) {
      ::close(m_watchFd);
    }
  }

  [[nodiscard]] std::string HostPath() const override { return m_hostPath; }

 private:
  void ReadLoop() {
    std::array<std::uint8_t, 4096> buffer{};
    while (!m_stopping.load()) {
      std::array<pollfd, 3> fds{pollfd{m_fd, POLLIN, 0}, pollfd{m_wakeFd, POLLIN, 0},
                                pollfd{m_watchFd, POLLIN, 0}};
      const int ready = ::poll(fds.data(), m_watchFd >= 0 ? 3 : 2, -1);
      if (ready < 0) {
        if (errno == EINTR) {
          continue;
        }
        return;
      }
      if (fds[1].revents & POLLIN) {
        return;
      }
      if (fds[2].revents & POLLIN) {
        FollowHostOpens();
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

  // Counts the host's descriptors of the slave; when the last one closes, the exclusive mode
  // a host set (and could not clear, killed) is cleared.
  void FollowHostOpens() {
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
      const ssize_t n = ::read(m_watchFd, buffer.data(), buffer.size());
      if (n <= 0) {
        return;
      }
      for (ssize_t at = 0; at < n;) {
        inotify_event event{};
        std::memcpy(&event, buffer.data() + at, sizeof event);
        at += static_cast<ssize_t>(sizeof event + event.len);
        if ((event.mask & IN_OPEN) != 0) {
          ++m_hostOpen;
        } else if ((event.mask & IN_CLOSE) != 0 && m_hostOpen > 0 && --m_hostOpen == 0) {
          (void)::ioctl(m_rateFd, TIOCNXCL);
          if (m_hostClosed) {
            m_hostClosed();
          }
        }
      }
    }
  }

  int m_fd;
  int m_rateFd;
  int m_wakeFd = -1;
  int m_watchFd = -1;  // inotify on the slave (pseudo-terminal only)
  int m_hostOpen = 0;  // reader thread only
  std::string m_hostPath;
  std::string m_linkPath;
  bool m_device;
  ByteSink m_sink;
  std::function<void()> m_hostClosed;
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
                                                   std::string* error,
                                                   std::function<void()> hostClosed) {
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
  auto line = std::make_unique<FdLine>(master, slave, slavePath, linkPath, false, std::move(sink),
                                       std::move(hostClosed));
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
