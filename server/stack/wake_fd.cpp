#include "server/stack/wake_fd.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace tavra::stack {

WakeFd::WakeFd() : m_fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeFd::~WakeFd() {
  if (m_fd >= 0) {
    ::close(m_fd);
  }
}

void WakeFd::Signal() const {
  if (m_fd < 0) {
    return;
  }
  const std::uint64_t one = 1;
  // EAGAIN only when the counter is full, and then a wake-up is pending anyway.
  [[maybe_unused]] const ssize_t n = ::write(m_fd, &one, sizeof one);
}

void WakeFd::Drain() const {
  std::uint64_t value = 0;
  [[maybe_unused]] const ssize_t n = ::read(m_fd, &value, sizeof value);
}

void WakeFd::Wait(int timeoutMs) const {
  pollfd p{m_fd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) > 0) {
    Drain();
  }
}

}  // namespace tavra::stack
