#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

}  // namespace tavra::test
