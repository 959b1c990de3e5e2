#include "server/stack/l4_cookie.h"

#include <atomic>
#include <limits>

namespace tavra::stack {

namespace {
std::atomic<std::int32_t> g_lastCookie{0};
}  // namespace

std::int32_t NextL4Cookie() {
  std::int32_t last = g_lastCookie.load(std::memory_order_relaxed);
  std::int32_t next = 0;
  do {
    next = last == std::numeric_limits<std::int32_t>::max() ? 1 : last + 1;
  } while (!g_lastCookie.compare_exchange_weak(last, next, std::memory_order_relaxed));
  return next;
}

}  // namespace tavra::stack
