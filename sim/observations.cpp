#include "sim/observations.h"

namespace tavra::sim {

void Observations::Clear() {
  frames.clear();
  managementCommands.clear();
  pdus.clear();
  firmwareMessages.clear();
  acksSent.clear();
}

void ObservationSignal::Bump() {
  std::lock_guard lock(m_mutex);
  ++m_generation;
  m_cv.notify_all();
}

bool ObservationSignal::WaitUntil(const std::function<bool()>& condition,
                                  std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    std::uint64_t seen = 0;
    {
      std::lock_guard lock(m_mutex);
      seen = m_generation;
    }
    if (condition()) {
      return true;
    }
    std::unique_lock lock(m_mutex);
    if (!m_cv.wait_until(lock, deadline, [&] { return m_generation != seen; })) {
      lock.unlock();
      return condition();
    }
  }
}

}  // namespace tavra::sim
