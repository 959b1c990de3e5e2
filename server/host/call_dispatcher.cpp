#include "server/host/call_dispatcher.h"

#include <utility>

namespace tavra::host {

CallDispatcher::CallDispatcher(std::size_t maxWorkers)
    : m_maxWorkers(maxWorkers == 0 ? 1 : maxWorkers) {}

CallDispatcher::~CallDispatcher() {
  Stop();
}

bool CallDispatcher::Post(const std::string& key, Job job) {
  std::lock_guard lock(m_mutex);
  if (m_stopping) {
    return false;
  }
  Queue& queue = m_queues[key];
  if (queue.jobs.size() >= kMaxQueuedPerKey) {
    return false;
  }
  queue.jobs.push_back(std::move(job));
  if (queue.running || queue.jobs.size() > 1) {
    return true;  // the key is already running or ready
  }
  m_ready.push_back(key);
  if (m_ready.size() > m_idle && m_workers.size() < m_maxWorkers) {
    m_workers.emplace_back([this] { WorkerLoop(); });
  } else {
    m_wake.notify_one();
  }
  return true;
}

void CallDispatcher::Stop() {
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
    workers.swap(m_workers);
  }
  m_wake.notify_all();
  for (std::thread& worker : workers) {
    worker.join();
  }
}

void CallDispatcher::WorkerLoop() {
  std::unique_lock lock(m_mutex);
  for (;;) {
    ++m_idle;
    m_wake.wait(lock, [this] { return m_stopping || !m_ready.empty(); });
    --m_idle;
    if (m_ready.empty()) {
      return;  // stopping, and nothing left to run
    }
    const std::string key = std::move(m_ready.front());
    m_ready.pop_front();
    Queue& queue = m_queues[key];
    Job job = std::move(queue.jobs.front());
    queue.jobs.pop_front();
    queue.running = true;

    lock.unlock();
    job();
    job = nullptr;  // what it captured goes before the lock is taken again
    lock.lock();

    // A job may post to its own key, never remove it: the entry is still there.
    Queue& after = m_queues[key];
    after.running = false;
    if (after.jobs.empty()) {
      m_queues.erase(key);
    } else {
      m_ready.push_back(key);  // at the back: the other keys take their turn first
      m_wake.notify_one();
    }
  }
}

}  // namespace tavra::host
