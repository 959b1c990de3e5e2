#include "server/service/client_delivery.h"

#include <system_error>
#include <utility>

#include "server/service/indication_dispatch.h"
#include "server/service/indication_queue.h"
#include "shared/sync_event.h"

namespace tavra::service {

struct ClientDelivery::Shared {
  IndicationQueue queue;
  Event data{Event::Mode::AutoReset};
  // Manual-reset: once told to stop, the thread stays told, however often it waits again.
  Event stop{Event::Mode::ManualReset};
  // Set by the thread as its last act; Stop waits on it with a time-out.
  Event ended{Event::Mode::ManualReset};
};

ClientDelivery::ClientDelivery() : m_shared(std::make_shared<Shared>()) {}

ClientDelivery::~ClientDelivery() {
  std::thread thread;
  {
    std::lock_guard lock(m_mutex);
    m_state = State::Stopped;
    thread = std::move(m_thread);
  }
  m_shared->stop.Set();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      // Destroyed from inside a callback: the thread holds its own references to the queue,
      // the signals and the callback, finishes its drain and ends.
      thread.detach();
    } else {
      thread.join();
    }
  }
  m_shared->queue.Clear();
}

bool ClientDelivery::Start(std::shared_ptr<ITavraCallback> callback) {
  if (!callback) {
    return false;
  }
  std::lock_guard lock(m_mutex);
  if (m_state != State::Idle) {
    return false;
  }
  try {
    m_thread = std::thread(&ClientDelivery::Run, m_shared, std::move(callback));
  } catch (const std::system_error&) {
    return false;  // no thread: the caller reports the lack of resources
  }
  m_state = State::Running;
  return true;
}

bool ClientDelivery::Post(std::unique_ptr<IndicationItem> item) {
  if (!item) {
    return false;
  }
  {
    // The state check and the push are one step, so no item slips in after Stop.
    std::lock_guard lock(m_mutex);
    if (m_state == State::Stopped) {
      return false;  // `item` is freed here
    }
    m_shared->queue.Push(std::move(item));
  }
  m_shared->data.Set();
  return true;
}

bool ClientDelivery::Stop(std::chrono::milliseconds timeout) {
  bool ran = false;
  bool self = false;
  {
    std::lock_guard lock(m_mutex);
    ran = m_thread.joinable();
    self = ran && m_thread.get_id() == std::this_thread::get_id();
    m_state = State::Stopped;
  }
  m_shared->stop.Set();
  if (self) {
    return false;  // a thread cannot wait for its own end
  }
  if (ran && !m_shared->ended.Wait(timeout)) {
    return false;
  }
  {
    // The thread has finished its work (or never ran): reap it so the destructor need not wait.
    std::lock_guard lock(m_mutex);
    if (m_thread.joinable()) {
      m_thread.join();
    }
  }
  m_shared->queue.Clear();
  return true;
}

std::size_t ClientDelivery::QueuedCount() const {
  return m_shared->queue.Count();
}

void ClientDelivery::Run(const std::shared_ptr<Shared>& shared,
                         std::shared_ptr<ITavraCallback> callback) {
  for (;;) {
    // The stop signal is listed first: when both are set, the thread ends and the items still
    // queued stay for the owner to free.
    const int signalled = Event::WaitAny({&shared->stop, &shared->data});
    if (signalled != 1) {
      break;  // stop, or a wait that named neither signal: end without calling the client
    }
    // A data signal that arrives during the drain is kept and leads to one more (maybe empty)
    // drain; so one signal for several items loses none of them.
    while (std::unique_ptr<IndicationItem> item = shared->queue.Pop()) {
      static_cast<void>(DispatchIndication(*callback, *item));
    }  // each item is freed here, whatever the call did
  }
  // Let go of the client's object before saying "ended", so a waiter that saw the end may rely
  // on the reference being gone.
  callback.reset();
  shared->ended.Set();
}

}  // namespace tavra::service
