#include "shared/sync_event.h"

#include <algorithm>

namespace tavra {

Event::Event(Mode mode, bool initiallySet) : m_mode(mode), m_set(initiallySet) {}

void Event::Set() {
  std::lock_guard lock(m_mutex);
  m_set = true;
  if (m_mode == Mode::ManualReset) {
    m_cv.notify_all();
  } else {
    m_cv.notify_one();
  }
  // Waiters are told under the event's lock, so a waiter cannot unregister and vanish
  // while it is being woken (lock order: event, then waiter).
  for (Waiter* w : m_waiters) {
    std::lock_guard waiterLock(w->mutex);
    w->woken = true;
    w->cv.notify_all();
  }
}

void Event::Reset() {
  std::lock_guard lock(m_mutex);
  m_set = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(m_mutex);
  return m_set;
}

bool Event::TryConsumeLocked() {
  if (!m_set) {
    return false;
  }
  if (m_mode == Mode::AutoReset) {
    m_set = false;
  }
  return true;
}

bool Event::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  if (!m_cv.wait_for(lock, timeout, [this] { return m_set; })) {
    return false;
  }
  TryConsumeLocked();
  return true;
}

bool Event::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(m_mutex);
  if (!m_cv.wait_until(lock, deadline, [this] { return m_set; })) {
    return false;
  }
  TryConsumeLocked();
  return true;
}

void Event::Wait() {
  std::unique_lock lock(m_mutex);
  m_cv.wait(lock, [this] { return m_set; });
  TryConsumeLocked();
}

void Event::AddWaiter(Waiter* waiter) {
  std::lock_guard lock(m_mutex);
  m_waiters.push_back(waiter);
}

void Event::RemoveWaiter(Waiter* waiter) {
  std::lock_guard lock(m_mutex);
  m_waiters.erase(std::remove(m_waiters.begin(), m_waiters.end(), waiter), m_waiters.end());
}

int Event::WaitAny(std::initializer_list<Event*> events,
                   std::optional<std::chrono::milliseconds> timeout) {
  // A missing time-out waits forever; keep a plain time point to avoid an optional's copies.
  const bool limited = timeout.has_value();
  const auto deadline =
      std::chrono::steady_clock::now() + (limited ? *timeout : std::chrono::milliseconds(0));
  Waiter waiter;
  for (Event* e : events) {
    e->AddWaiter(&waiter);
  }
  int result = -1;
  for (;;) {
    {
      std::lock_guard lock(waiter.mutex);
      waiter.woken = false;
    }
    int index = 0;
    for (Event* e : events) {
      std::lock_guard lock(e->m_mutex);
      if (e->TryConsumeLocked()) {
        result = index;
        break;
      }
      ++index;
    }
    if (result >= 0) {
      break;
    }
    std::unique_lock lock(waiter.mutex);
    if (limited) {
      if (!waiter.cv.wait_until(lock, deadline, [&] { return waiter.woken; })) {
        break;
      }
    } else {
      waiter.cv.wait(lock, [&] { return waiter.woken; });
    }
  }
  for (Event* e : events) {
    e->RemoveWaiter(&waiter);
  }
  return result;
}

}  // namespace tavra
