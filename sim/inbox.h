#pragma once
// Bytes from the host waiting for the simulated controller's worker. With line timing a chunk is
// handed on only when its last byte would have arrived at the host's bit rate (a
// pseudo-terminal passes the host's bytes at once, a real line does not).
//
// Owner: shared (std::shared_ptr) by SimulatedController::Impl and the line's byte sink, which
// may still be called on another thread while the controller goes away. Threads: Push from the
// line's thread, Take from the worker, the rest from any thread. Lock: its own, a leaf.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "sim/line_timing.h"

namespace tavra::sim {

class Inbox {
 public:
  struct Item {
    std::vector<std::uint8_t> bytes;
    int hostBitRate = 0;
    SimClock::time_point start;  // when the first byte arrived
    SimClock::time_point at;     // when the last byte arrived
  };

  void SetLineTiming(bool on);
  // Ignored once closed.
  void Push(std::span<const std::uint8_t> bytes, int hostBitRate);
  // Makes the waiting Take return (with what has arrived, perhaps nothing).
  void Wake();
  void Close();
  // Waits for arrived items, a wake-up or the deadline. False once closed.
  bool Take(std::vector<Item>* out, std::optional<SimClock::time_point> deadline);

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::deque<Item> m_items;
  SimClock::time_point m_lineFreeAt{};
  bool m_lineTiming = false;
  bool m_wake = false;
  bool m_closed = false;
};

}  // namespace tavra::sim
