#include "server/stack/l4_number_pool.h"

namespace tavra::stack {

std::optional<std::uint8_t> L4NumberPool::Take() {
  std::lock_guard lock(m_mutex);
  for (int step = 1; step <= kSize; ++step) {
    const auto candidate = static_cast<std::uint8_t>((m_last + step) % kSize);
    if (!m_used[candidate]) {
      m_used[candidate] = true;
      m_last = candidate;
      return candidate;
    }
  }
  return std::nullopt;
}

void L4NumberPool::Release(std::uint8_t number) {
  std::lock_guard lock(m_mutex);
  m_used[number] = false;
}

int L4NumberPool::InUse() const {
  std::lock_guard lock(m_mutex);
  int count = 0;
  for (bool used : m_used) {
    count += used ? 1 : 0;
  }
  return count;
}

}  // namespace tavra::stack
