#pragma once
// An unbounded, thread-safe FIFO of heap items. Any thread may push, pop and clear; each
// operation takes the queue's own lock for a moment and never calls out while holding it.
// The queue owns the items it holds; Pop hands ownership to the caller, Clear frees them.

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "server/service/indication_item.h"

namespace tavra::service {

template <typename T>
class HeapItemQueue {
 public:
  HeapItemQueue() = default;
  ~HeapItemQueue() = default;
  HeapItemQueue(const HeapItemQueue&) = delete;
  HeapItemQueue& operator=(const HeapItemQueue&) = delete;

  // Appends at the tail. A null item is not queued.
  void Push(std::unique_ptr<T> item) {
    if (!item) {
      return;
    }
    std::lock_guard lock(m_mutex);
    m_items.push_back(std::move(item));
  }

  // Takes the head item; null when the queue is empty.
  [[nodiscard]] std::unique_ptr<T> Pop() {
    std::lock_guard lock(m_mutex);
    if (m_items.empty()) {
      return nullptr;
    }
    std::unique_ptr<T> item = std::move(m_items.front());
    m_items.pop_front();
    return item;
  }

  // Frees every queued item (outside the lock).
  void Clear() {
    std::deque<std::unique_ptr<T>> dropped;
    {
      std::lock_guard lock(m_mutex);
      dropped.swap(m_items);
    }
  }

  [[nodiscard]] std::size_t Count() const {
    std::lock_guard lock(m_mutex);
    return m_items.size();
  }

 private:
  mutable std::mutex m_mutex;
  std::deque<std::unique_ptr<T>> m_items;
};

using IndicationQueue = HeapItemQueue<IndicationItem>;

}  // namespace tavra::service
