#pragma once
// The busy budget and back-off of one request to the controller's transport entity (a
// transaction, a connect or a connection data request), and the L2 values its PDUs go with.
// Plain data: the table that holds the request holds its lock around every call.

#include <cstdint>

#include "server/stack/cl4.h"

namespace tavra::stack {

// Ticks of CL4's 100-ms timer for a time in ms (integer division).
[[nodiscard]] constexpr std::int32_t ToTicks(std::int32_t ms) {
  return ms / 100;
}

struct L4BusyRetry {
  bool waiting = false;  // answered busy: sent again when the back-off has run out
  std::int32_t budgetRemaining = 0;
  std::int32_t backoffTicks = 0;
  std::int32_t backoffRemaining = 0;  // ticks
  std::int32_t l2Budget = 0;
  std::int32_t l2BackoffTime = 0;  // ms

  // A new request: the client's full budget and back-off, nothing waiting.
  void Load(const L4Backoff& backoff) {
    waiting = false;
    budgetRemaining = backoff.l4Retries;
    backoffTicks = ToTicks(backoff.l4TimeMs);
    backoffRemaining = backoffTicks;
    l2Budget = backoff.l2Retries;
    l2BackoffTime = backoff.l2TimeMs;
  }
  // The request went out: a busy answer to it waits the whole back-off.
  void Rearm() { backoffRemaining = backoffTicks; }
  // A busy answer: true when budget was left (one is used, the request waits), false when the
  // request fails with it.
  bool TakeBusy() {
    if (budgetRemaining <= 0) {
      return false;
    }
    --budgetRemaining;
    waiting = true;
    return true;
  }
  // One tick of a waiting request: true when its back-off has run out and it goes again.
  bool CountDown() {
    if (backoffRemaining > 0) {
      --backoffRemaining;
    }
    if (backoffRemaining != 0) {
      return false;
    }
    waiting = false;
    return true;
  }
};

}  // namespace tavra::stack
