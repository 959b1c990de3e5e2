#pragma once
// ServerModule: why the server stays alive, and when it ends by itself.
//
// The lock count holds one lock per existing controller object, one while any client holds a
// pool reference. When it drops to 0 the shutdown monitor (a thread of this object) waits
// until the count has stayed at 0 for the quiet time (5000 ms; every new drop to 0 starts the
// time again), then suspends the server (no new creation request is served) and, if still
// quiet, asks the main thread to quit. A server started with no client never locks, so the
// monitor never acts: it keeps running until shut down.
//
// Forced shutdown (tray menu) drops the count to 0 and marks the module forced: the monitor then
// ends the process after the quiet time whatever the count (clients still holding objects lose
// them in the closing teardown). The mark also covers objects released during that time, which
// take the count below 0.
//
// Threads: Lock/Unlock from any thread (controller objects, the D-Bus service thread);
// ForcedShutdown from the main thread; the hooks run on the monitor thread and must only post
// work and return. The count is atomic; the event is tavra::Event; no lock is held while a hook
// runs. The destructor stops and joins the monitor.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "shared/sync_event.h"

namespace tavra::host {

class ServerModule {
 public:
  struct Hooks {
    std::function<void()> suspend;  // serve no new creation request from now on
    std::function<void()> quit;     // end the main thread's event loop (post, don't wait)
  };

  static constexpr std::chrono::milliseconds kQuietTime{5000};

  explicit ServerModule(std::chrono::milliseconds quietTime = kQuietTime);
  ~ServerModule();
  ServerModule(const ServerModule&) = delete;
  ServerModule& operator=(const ServerModule&) = delete;

  // Starts the monitor thread. false if it could not be created or already runs (the server
  // then runs without automatic shutdown).
  bool StartMonitor(Hooks hooks);

  void Lock();
  // A drop to exactly 0 marks activity and wakes the monitor.
  void Unlock();
  [[nodiscard]] std::int32_t LockCount() const;

  // If the count is 0 add 1; then unlock until the count is 0 or less.
  void ForcedShutdown();

  [[nodiscard]] bool Suspended() const;
  [[nodiscard]] bool QuitRequested() const;

 private:
  void Monitor();

  const std::chrono::milliseconds m_quietTime;
  std::atomic<std::int32_t> m_lockCount{0};
  std::atomic<bool> m_activity{false};
  std::atomic<bool> m_forced{false};
  std::atomic<bool> m_suspended{false};
  std::atomic<bool> m_quitRequested{false};
  std::atomic<bool> m_stop{false};
  Event m_shutdownEvent{Event::Mode::AutoReset, false};
  Hooks m_hooks;  // written before the thread starts, read only by it
  std::thread m_monitor;
};

}  // namespace tavra::host
