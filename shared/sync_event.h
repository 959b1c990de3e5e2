#pragma once
// Signals between threads: auto-reset and manual-reset events on a mutex and a condition
// variable, and a wait for the first of several events in a stated priority order.
// No wait spins: every wait blocks until a Set() or its time-out.

#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <vector>

namespace tavra {

class Event {
 public:
  enum class Mode { AutoReset, ManualReset };

  explicit Event(Mode mode = Mode::AutoReset, bool initiallySet = false);
  ~Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Signals the event. An auto-reset event releases one waiter (or the next one to come) and
  // clears itself; a manual-reset event stays set until Reset().
  void Set();
  void Reset();
  [[nodiscard]] bool IsSet() const;

  // Waits until the event is set (and, for auto-reset, consumes it). Returns false on time-out.
  bool Wait(std::chrono::milliseconds timeout);
  void Wait();
  // The same, until a point in time (no rounding to milliseconds: for waits paced by a line).
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);

  // Waits for the first of several events. When several are set, the one listed first wins;
  // only that one is consumed. Returns its index, or -1 on time-out (no time-out: wait forever).
  static int WaitAny(std::initializer_list<Event*> events,
                     std::optional<std::chrono::milliseconds> timeout = std::nullopt);

 private:
  struct Waiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
  };

  bool TryConsumeLocked();
  void AddWaiter(Waiter* waiter);
  void RemoveWaiter(Waiter* waiter);

  const Mode m_mode;
  mutable std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_set;
  std::vector<Waiter*> m_waiters;
};

}  // namespace tavra
