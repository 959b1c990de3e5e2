#include "server/stack/line_timing.h"

#include <algorithm>
#include <cstdint>

namespace tavra::stack {

using std::chrono::milliseconds;

LineClock::duration LineTime(std::size_t bytes, int bitRate) {
  if (bitRate <= 0) {
    return LineClock::duration::zero();
  }
  return std::chrono::microseconds(static_cast<std::int64_t>(bytes) * 10 * 1'000'000 / bitRate);
}

int MillisecondsLeft(LineClock::time_point deadline) {
  const auto left = deadline - LineClock::now();
  if (left <= LineClock::duration::zero()) {
    return 0;
  }
  return static_cast<int>(std::chrono::ceil<milliseconds>(left).count());
}

LineWaitStep NextLineWait(int queued,
                          LineClock::time_point now,
                          LineClock::time_point lineEnd,
                          LineClock::time_point deadline,
                          int bitRate) {
  if (queued <= 0 && lineEnd - now < milliseconds(1)) {
    // Below the resolution of the waits and far below that of the link's timers.
    return {LineWaitStep::Kind::kDone, {}};
  }
  if (now >= deadline) {
    // Only the line time left cannot be longer than the limit.
    return {queued > 0 ? LineWaitStep::Kind::kTimedOut : LineWaitStep::Kind::kDone, {}};
  }
  // As long as the queued bytes take at least; then look again.
  const auto queuedTime = std::max(LineTime(static_cast<std::size_t>(std::max(queued, 0)), bitRate),
                                   LineClock::duration(milliseconds(1)));
  return {LineWaitStep::Kind::kWait, std::min(std::max(lineEnd, now + queuedTime), deadline)};
}

}  // namespace tavra::stack
