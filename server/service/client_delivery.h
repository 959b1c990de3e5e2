#pragma once
// ClientDelivery: one registered client's delivery queue and delivery thread. The controller
// object keeps one per client entry; its route function (called by the transport layer for
// every item) looks the entry up by the item's client id under the client table lock and
// either Posts the item here or, when no entry is in use for that id, frees it without a call.
// So a slow or hanging client holds up only its own callbacks, the link stack never waits for a
// client, and each client sees its events in the order in which they happened.
//
// Ownership: owned by the client entry. It owns the queued items, the thread and one
// reference to the callback object (held by the thread from Start until the thread ends, so the
// reference stays valid while a callback call is in progress, even after a timed-out Stop).
//
// Threads: Post, Start, Stop and the destructor may be called from any thread, including the
// delivery thread itself (a client that calls Client_Remove from inside a callback). The
// delivery thread sleeps until the data or the stop signal, then pops items one by one and calls
// the callback (indication_dispatch.h) with no lock held; a callback may call ITavra, which may
// Post to this same object. Callback results and exceptions are ignored.
//
// Locks: m_mutex (state and thread handle), then the queue's lock. Neither is held during a
// callback call, nor while Stop waits. A caller may hold its client table lock around any call.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>

#include "server/service/indication_item.h"
#include "shared/tavra_interfaces.h"

namespace tavra::service {

class ClientDelivery {
 public:
  ClientDelivery();
  // Stops the thread and waits for it to end (a callback in progress is waited for), then frees
  // the items still queued. Called on the delivery thread itself, it cannot wait: the thread is
  // let go and ends by itself once the current drain is over.
  ~ClientDelivery();
  ClientDelivery(const ClientDelivery&) = delete;
  ClientDelivery& operator=(const ClientDelivery&) = delete;

  // Starts the delivery thread, which calls `callback`. Items posted before Start are delivered
  // once it runs. false (nothing started) for a null callback, a second Start, a Start after
  // Stop, or a thread that could not be created.
  [[nodiscard]] bool Start(std::shared_ptr<ITavraCallback> callback);

  // Takes ownership of the item, queues it and wakes the thread. After Stop the item is freed at
  // once and false is returned (the client has gone). A null item is ignored (false).
  bool Post(std::unique_ptr<IndicationItem> item);

  // Tells the thread to end and waits up to `timeout` for it. A thread inside a callback call
  // ends after its current drain has emptied the queue. true when the thread has ended (or never
  // ran); the items still queued are freed then. false on time-out, or when called on the
  // delivery thread itself: the thread ends by itself later and the destructor waits for it.
  // Later Posts are refused either way.
  [[nodiscard]] bool Stop(std::chrono::milliseconds timeout);

  // Items waiting for delivery (a snapshot).
  [[nodiscard]] std::size_t QueuedCount() const;

 private:
  struct Shared;
  enum class State { Idle, Running, Stopped };

  static void Run(const std::shared_ptr<Shared>& shared, std::shared_ptr<ITavraCallback> callback);

  // Queue and signals, shared with the thread so that a thread let go by the destructor still
  // has them.
  const std::shared_ptr<Shared> m_shared;
  mutable std::mutex m_mutex;
  State m_state = State::Idle;  // guarded by m_mutex
  std::thread m_thread;         // guarded by m_mutex
};

}  // namespace tavra::service
