#pragma once
// Time on the simulated serial line: the simulator's clock and how long bytes take at a bit rate
// (ten bits a byte: start bit, eight data bits, stop bit).
//
// Constants and a plain function; no state, any thread.

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tavra::sim {

using SimClock = std::chrono::steady_clock;

// The controller's bit rate after every (re)start, and the host's until it is known.
inline constexpr int kBaseBitRate = 9600;

inline SimClock::duration LineTime(std::size_t bytes, int bitRate) {
  if (bitRate <= 0) {
    return SimClock::duration::zero();
  }
  return std::chrono::duration_cast<SimClock::duration>(
      std::chrono::microseconds(static_cast<std::int64_t>(bytes) * 10 * 1'000'000 / bitRate));
}

}  // namespace tavra::sim
