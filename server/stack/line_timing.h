#pragma once
// Timing shared by the device and the network serial port: the limits of a write, the time
// bytes take on the line, and the step of a writer waiting for its bytes to leave.
// Pure functions; any thread.

#include <chrono>
#include <cstddef>

namespace tavra::stack {

using LineClock = std::chrono::steady_clock;

inline constexpr std::chrono::milliseconds kReceiveGap{100};       // a frame ends after this gap
inline constexpr std::chrono::milliseconds kBitRatePause{200};     // quiet line after a change
inline constexpr std::chrono::milliseconds kDataFrameLimit{4000};  // a data frame's write
inline constexpr std::chrono::milliseconds kAckFrameLimit{500};    // an acknowledgement's write
inline constexpr std::size_t kReadChunk = 1200;

// 9600, 19200, 38400, 57600 or 115200: the bit rates of the line.
[[nodiscard]] constexpr bool IsLineRate(int bitRate) {
  return bitRate == 9600 || bitRate == 19200 || bitRate == 38400 || bitRate == 57600 ||
         bitRate == 115200;
}

// The time `bytes` take on the line at bitRate (start bit, 8 data bits, stop bit).
[[nodiscard]] LineClock::duration LineTime(std::size_t bytes, int bitRate);

// Milliseconds left until deadline, rounded up so that a wait never ends early.
[[nodiscard]] int MillisecondsLeft(LineClock::time_point deadline);

// What a writer does next while `queued` bytes are still in the output queue and the last byte
// written leaves the line at lineEnd.
struct LineWaitStep {
  enum class Kind {
    kDone,      // on the line (below the resolution of the waits), or only line time is left
    kTimedOut,  // the deadline passed with bytes still queued
    kWait,      // wait until `until` (or an abort), then look again
  };
  Kind kind = Kind::kDone;
  LineClock::time_point until{};
};
[[nodiscard]] LineWaitStep NextLineWait(int queued,
                                        LineClock::time_point now,
                                        LineClock::time_point lineEnd,
                                        LineClock::time_point deadline,
                                        int bitRate);

}  // namespace tavra::stack
