#pragma once
// Bounded waits for conditions that have no event to wait on (a file another process writes, a
// counter of another thread).
//
// Threads: any; the condition runs on the caller's thread. No lock.

#include <chrono>
#include <functional>

namespace tavra::test {

using namespace std::chrono_literals;

// The bound of a wait that ends at once on an idle machine: long enough for a loaded one.
inline constexpr std::chrono::milliseconds kWait = 10s;

// How often WaitUntil looks at its condition.
inline constexpr std::chrono::milliseconds kPollStep = 20ms;

// True as soon as `condition` holds, false when it still does not after `timeout`.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace tavra::test
