#include "pty_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

namespace tavra::test {

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

PtyPair::PtyPair() {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0) {
    return;
  }
  char name[128];
  if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
      ::ptsname_r(master, name, sizeof name) != 0) {
    ::close(master);
    return;
  }
  m_master = master;
  m_slavePath = name;
}

PtyPair::~PtyPair() {
  CloseMaster();
}

void PtyPair::CloseMaster() {
  if (m_master >= 0) {
    ::close(m_master);
    m_master = -1;
  }
}

bool PtyPair::Write(std::span<const std::uint8_t> bytes) {
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      return false;
    }
    pollfd p{m_master, POLLOUT, 0};
    if (::poll(&p, 1, MillisecondsLeft(deadline)) <= 0) {
      return false;
    }
  }
  return true;
}

std::vector<std::uint8_t> PtyPair::Read(std::size_t n, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<std::uint8_t> out;
  std::uint8_t buffer[4096];
  while (out.size() < n) {
    const ssize_t got = ::read(m_master, buffer, std::min(sizeof buffer, n - out.size()));
    if (got > 0) {
      out.insert(out.end(), buffer, buffer + got);
      continue;
    }
    if (got < 0 && errno != EAGAIN && errno != EINTR) {
      break;
    }
    pollfd p{m_master, POLLIN, 0};
    const int left = MillisecondsLeft(deadline);
    if (left == 0 || ::poll(&p, 1, left) <= 0) {
      break;
    }
  }
  return out;
}

PortDir::PortDir() {
  char pattern[] = "/tmp/tavra-ports-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) {
    m_path = pattern;
  }
  if (const char* old = std::getenv("TAVRA_PORT_DIR"); old != nullptr) {
    m_hadOldValue = true;
    m_oldValue = old;
  }
  ::setenv("TAVRA_PORT_DIR", m_path.c_str(), 1);
}

PortDir::~PortDir() {
  if (m_hadOldValue) {
    ::setenv("TAVRA_PORT_DIR", m_oldValue.c_str(), 1);
  } else {
    ::unsetenv("TAVRA_PORT_DIR");
  }
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string PortDir::Entry(int portNumber) const {
  return m_path + "/COM" + std::to_string(portNumber);
}

bool PortDir::Publish(int portNumber, const std::string& target) {
  const std::string temporary = m_path + "/.new-COM" + std::to_string(portNumber);
  ::unlink(temporary.c_str());
  return ::symlink(target.c_str(), temporary.c_str()) == 0 &&
         ::rename(temporary.c_str(), Entry(portNumber).c_str()) == 0;
}

void PortDir::Remove(int portNumber) {
  ::unlink(Entry(portNumber).c_str());
}

ReceiveThread::ReceiveThread(stack::ISerialPort& port, stack::FrameParser& parser)
    : m_port(port), m_result(m_done.get_future()) {
  m_thread = std::thread([this, &parser] { m_done.set_value(m_port.ReceiveLoop(m_stop, parser)); });
}

ReceiveThread::~ReceiveThread() {
  Stop(std::chrono::seconds(10));
}

bool ReceiveThread::Stop(std::chrono::milliseconds timeout) {
  if (!m_thread.joinable()) {
    return true;
  }
  m_stop.Set();
  m_port.InterruptReceive();
  const bool ended = m_result.wait_for(timeout) == std::future_status::ready;
  m_thread.join();
  return ended;
}

std::chrono::nanoseconds ReceiveThread::CpuTime() {
  clockid_t clock{};
  timespec ts{};
  if (::pthread_getcpuclockid(m_thread.native_handle(), &clock) != 0 ||
      ::clock_gettime(clock, &ts) != 0) {
    return std::chrono::nanoseconds::max();
  }
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

}  // namespace tavra::test
