#include "sim/inbox.h"

#include <algorithm>
#include <utility>

namespace tavra::sim {

void Inbox::SetLineTiming(bool on) {
  std::lock_guard lock(m_mutex);
  m_lineTiming = on;
}

void Inbox::Push(std::span<const std::uint8_t> bytes, int hostBitRate) {
  std::lock_guard lock(m_mutex);
  if (m_closed) {
    return;
  }
  SimClock::time_point start = SimClock::now();
  SimClock::time_point at = start;
  if (m_lineTiming) {
    start = std::max(start, m_lineFreeAt);
    at = start + LineTime(bytes.size(), hostBitRate != 0 ? hostBitRate : kBaseBitRate);
    m_lineFreeAt = at;
  }
  m_items.push_back(Item{{bytes.begin(), bytes.end()}, hostBitRate, start, at});
  m_cv.notify_one();
}

void Inbox::Wake() {
  std::lock_guard lock(m_mutex);
  m_wake = true;
  m_cv.notify_one();
}

void Inbox::Close() {
  std::lock_guard lock(m_mutex);
  m_closed = true;
  m_cv.notify_all();
}

bool Inbox::Take(std::vector<Item>* out, std::optional<SimClock::time_point> deadline) {
  std::unique_lock lock(m_mutex);
  for (;;) {
    const auto now = SimClock::now();
    if (m_closed) {
      return false;
    }
    const bool arrived = !m_items.empty() && m_items.front().at <= now;
    if (m_wake || arrived || (deadline && *deadline <= now)) {
      break;
    }
    std::optional<SimClock::time_point> until = deadline;
    if (!m_items.empty() && (!until || m_items.front().at < *until)) {
      until = m_items.front().at;
    }
    if (until) {
      m_cv.wait_until(lock, *until);
    } else {
      m_cv.wait(lock);
    }
  }
  m_wake = false;
  out->clear();
  const auto now = SimClock::now();
  while (!m_items.empty() && m_items.front().at <= now) {
    out->push_back(std::move(m_items.front()));
    m_items.pop_front();
  }
  return true;
}

}  // namespace tavra::sim
