#pragma once
// What the simulated controller saw and did, for tests and for the counters tavra-sim prints:
// the counters and the lists a test reads, each list bounded (the oldest entries go first), and
// the signal that wakes those waiting for an observation.
//
// Observations: plain values, owned by SimulatedController::Impl and guarded by its state lock.
// ObservationSignal: owned by SimulatedController::Impl; any thread; its own lock, a leaf; the
// condition of WaitUntil is called with no lock held.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "sim/line_timing.h"
#include "sim/simulated_controller.h"

namespace tavra::sim {

inline constexpr std::size_t kObservationLimit = 20000;

template <typename T>
void Keep(std::deque<T>& list, T value) {
  if (list.size() >= kObservationLimit) {
    list.pop_front();
  }
  list.push_back(std::move(value));
}

struct Observations {
  SimCounters counters;  // without those the parser, the line writer and own frames keep
  std::deque<ObservedFrame> frames;
  std::deque<std::uint8_t> managementCommands;
  std::deque<ObservedPdu> pdus;
  std::deque<ObservedFirmwareMessage> firmwareMessages;
  std::deque<std::uint8_t> acksSent;
  std::deque<int> ratesSeen{kBaseBitRate};  // the controller starts at the base rate
  std::deque<int> hostRatesSeen;

  // The lists a test clears between its steps; the counters and the rates stay.
  void Clear();
};

class ObservationSignal {
 public:
  // Something may have changed: every WaitUntil checks its condition again.
  void Bump();
  // True as soon as `condition` is; false when it still is not at the time-out.
  bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::uint64_t m_generation = 0;
};

}  // namespace tavra::sim
