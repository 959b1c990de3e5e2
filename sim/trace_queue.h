#pragma once
// The simulated controller's trace: one line a frame (see TraceLine), queued in the order the
// events happened and handed to the sink in that order by whichever thread drains next.
//
// Owner: SimulatedController::Impl. Threads: Add from any thread, also under the controller's
// other locks (the queue lock is a leaf); Drain from any thread that holds none of them. Drain
// takes the drain lock, which only keeps the order, and calls the sink with no other lock held.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <span>
#include <string>

#include "sim/line_timing.h"

namespace tavra::sim {

class TraceQueue {
 public:
  using Sink = std::function<void(const std::string&)>;

  // Times in the lines are seconds since `start`.
  explicit TraceQueue(SimClock::time_point start) : m_start(start) {}

  void SetSink(Sink sink);
  [[nodiscard]] Sink CurrentSink() const;
  // Queues the line of bytes that went over the line at `at`, with a note on what a fault did
  // to them; nothing without a sink.
  void Add(SimClock::time_point at,
           bool fromHost,
           std::span<const std::uint8_t> bytes,
           const std::string& note);
  void Drain();

 private:
  const SimClock::time_point m_start;
  std::atomic<bool> m_tracing{false};  // read without the lock on every frame
  mutable std::mutex m_mutex;
  Sink m_sink;
  std::deque<std::string> m_lines;
  std::mutex m_drainMutex;
};

}  // namespace tavra::sim
