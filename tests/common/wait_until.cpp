#include "wait_until.h"

#include <thread>

namespace tavra::test {

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    // A poll step, not a synchronisation: the condition decides, the deadline bounds the wait.
    std::this_thread::sleep_for(kPollStep);
  }
  return true;
}

}  // namespace tavra::test
