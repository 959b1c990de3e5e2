#pragma once
// CallDispatcher: runs the calls of the bus clients on a small pool of worker threads, keyed by
// the caller's connection. The jobs of one key run one at a time, in the order they were
// posted; jobs of different keys run side by side. Keys take turns (one job each), so a flood
// from one connection, or one call that blocks, never holds up another connection's calls.
// Workers start on demand, at most `maxWorkers`, and stay until Stop; when all are busy, ready
// keys wait for the first one free. At most kMaxQueuedPerKey jobs wait per key: a caller that
// sends without waiting for its answers cannot make the server's memory grow without bound.
//
// Ownership: the bus service owns it; a job owns what it captured.
// Threads: Post from any thread; jobs run on the workers; Stop from any thread but a worker.
// One lock (m_mutex) guards the queues; it is never held while a job runs.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tavra::host {

class CallDispatcher {
 public:
  using Job = std::function<void()>;
  static constexpr std::size_t kDefaultWorkers = 8;
  static constexpr std::size_t kMaxQueuedPerKey = 256;

  explicit CallDispatcher(std::size_t maxWorkers = kDefaultWorkers);
  ~CallDispatcher();  // Stop
  CallDispatcher(const CallDispatcher&) = delete;
  CallDispatcher& operator=(const CallDispatcher&) = delete;

  // Queues `job` behind the key's earlier jobs. false (job dropped) when the key already has
  // kMaxQueuedPerKey jobs waiting, or after Stop.
  [[nodiscard]] bool Post(const std::string& key, Job job);
  // Refuses new jobs, lets the workers finish every job already queued, and joins them.
  void Stop();

 private:
  struct Queue {
    std::deque<Job> jobs;
    bool running = false;  // a worker runs one of its jobs now
  };

  void WorkerLoop();

  const std::size_t m_maxWorkers;
  std::mutex m_mutex;
  std::condition_variable m_wake;                   // a key became ready, or Stop
  std::unordered_map<std::string, Queue> m_queues;  // keys with jobs queued or running
  std::deque<std::string> m_ready;                  // keys with jobs and none running
  std::vector<std::thread> m_workers;
  std::size_t m_idle = 0;  // workers waiting for a ready key
  bool m_stopping = false;
};

}  // namespace tavra::host
