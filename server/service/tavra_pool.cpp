#include "server/service/tavra_pool.h"

#include <array>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "server/service/module_lock.h"
#include "server/stack/debug_trace.h"
#include "server/stack/network_serial_port.h"
#include "server/stack/termios_serial_port.h"
#include "shared/com_port_map.h"

namespace tavra::service {

struct TavraPool::State {
  struct Slot {
    std::weak_ptr<CTavra> object;
    // Set from creation until the object has closed its port and emptied the slot; while set
    // and `object` has expired, the object is being destroyed.
    bool occupied = false;
    std::uint64_t generation = 0;  // tells a newer object's slot from the dying one's
  };

  mutable std::mutex mutex;
  std::condition_variable slotFreed;
  std::array<Slot, stack::PortTable::kPorts> slots;  // guarded by mutex
  std::uint64_t lastGeneration = 0;                  // guarded by mutex
  std::vector<std::weak_ptr<CTavra>> unstarted;      // guarded by mutex
  bool closed = false;                               // guarded by mutex
  std::uint32_t references = 1;                      // guarded by mutex

  // Called by a controller object (its slot release) once its port is closed.
  void ReleaseSlot(int port, std::uint64_t generation) {
    {
      std::lock_guard lock(mutex);
      Slot& slot = slots[static_cast<std::size_t>(port)];
      if (slot.occupied && slot.generation == generation) {
        slot.object.reset();
        slot.occupied = false;
      }
    }
    slotFreed.notify_all();
  }

  [[nodiscard]] bool AnyClosingLocked() const {
    for (const Slot& slot : slots) {
      if (slot.occupied && slot.object.expired()) {
        return true;
      }
    }
    return false;
  }
};

TavraPool::SerialPortFactory TavraPool::TermiosPortFactory() {
  return [](int portNumber) -> std::unique_ptr<stack::ISerialPort> {
    // A file in place of the device link names a network port (or is a bad entry, which the
    // network driver reports as a port that is not there).
    const std::optional<ComPortTarget> target = ResolveComPortTarget(portNumber);
    if (target && (target->network || !target->problem.empty())) {
      return std::make_unique<stack::NetworkSerialPort>();
    }
    return std::make_unique<stack::TermiosSerialPort>();
  };
}

TavraPool::TavraPool(SerialPortFactory serialPortFactory, stack::PortTable& portTable)
    : m_state(std::make_shared<State>()),
      m_serialPortFactory(serialPortFactory ? std::move(serialPortFactory) : TermiosPortFactory()),
      m_portTable(portTable) {}

TavraPool::~TavraPool() {
  Teardown();
}

HRESULT TavraPool::GetTavraInterface(std::int32_t P_CommId,
                                     std::int32_t /*P_Reserved*/,
                                     std::shared_ptr<ITavra>& P_Tavra) {
  std::shared_ptr<CTavra> controller;
  const HRESULT result = GetController(P_CommId, controller);
  if (result == S_OK) {
    P_Tavra = std::move(controller);
  }
  return result;
}

HRESULT TavraPool::GetController(std::int32_t commId, std::shared_ptr<CTavra>& controller) {
  stack::DebugTrace("GetTavraInterface() starts");
  if (commId < 0 || commId >= stack::PortTable::kPorts) {
    return E_FAIL;
  }
  // Declared before the lock, so that a reference dropped on the way out is dropped after the
  // unlock (a controller object's destruction takes the pool lock).
  std::shared_ptr<CTavra> object;
  std::shared_ptr<CTavra> failed;
  HRESULT result = S_OK;
  {
    std::unique_lock lock(m_state->mutex);
    State::Slot& slot = m_state->slots[static_cast<std::size_t>(commId)];
    const auto deadline = std::chrono::steady_clock::now() + kClosingWait;
    for (;;) {
      if (m_state->closed) {
        return kObjectDisconnected;
      }
      object = slot.object.lock();
      if (object || !slot.occupied) {
        break;
      }
      // The port's object is being destroyed: wait until it has closed the port.
      if (!m_state->slotFreed.wait_until(lock, deadline,
                                         [&] { return m_state->closed || !slot.occupied; })) {
        return CommandFailed_PortInUse;
      }
    }
    if (!object) {
      try {
        object = CTavra::Create(m_portTable);
      } catch (const std::bad_alloc&) {
        return CommandFailed_ResourcesLow;  // the slot stays empty
      }
      std::unique_ptr<stack::ISerialPort> serialPort;
      try {
        serialPort = m_serialPortFactory(commId);
      } catch (...) {
        serialPort.reset();  // the start fails for want of a port
      }
      const std::uint64_t generation = ++m_state->lastGeneration;
      slot.object = object;
      slot.occupied = true;
      slot.generation = generation;
      object->SetSlotRelease(
          [state = m_state, commId, generation] { state->ReleaseSlot(commId, generation); });
      result = object->Start(commId, std::move(serialPort));
      if (result != S_OK) {
        // Nothing is open (Start cleaned up); the object goes when `failed` does, after the
        // unlock, and never touches the slot again.
        object->SetSlotRelease({});
        slot = State::Slot{};
        failed = std::move(object);
      }
    }
  }
  if (result != S_OK) {
    return result;
  }
  stack::DebugTrace("GetTavraInterface() stops");
  controller = std::move(object);
  return S_OK;
}

std::shared_ptr<CTavra> TavraPool::CreateTavra() {
  std::shared_ptr<CTavra> object;
  try {
    object = CTavra::Create(m_portTable);
    std::lock_guard lock(m_state->mutex);
    if (m_state->closed) {
      // Dropped below, after the unlock.
    } else {
      std::erase_if(m_state->unstarted,
                    [](const std::weak_ptr<CTavra>& weak) { return weak.expired(); });
      m_state->unstarted.push_back(object);
      return object;
    }
  } catch (const std::bad_alloc&) {
  }
  object.reset();
  return nullptr;
}

std::uint32_t TavraPool::AddRef() {
  std::lock_guard lock(m_state->mutex);
  if (++m_state->references == 2) {
    LockModule();
  }
  return m_state->references;
}

std::uint32_t TavraPool::Release() {
  std::uint32_t count = 0;
  {
    std::lock_guard lock(m_state->mutex);
    if (m_state->references == 0) {
      return 0;
    }
    count = --m_state->references;
    if (count == 1) {
      UnlockModule();
    }
  }
  if (count == 0) {
    Teardown();
  }
  return count;
}

void TavraPool::Teardown() {
  std::vector<std::shared_ptr<CTavra>> objects;
  {
    std::lock_guard lock(m_state->mutex);
    if (m_state->closed) {
      return;
    }
    m_state->closed = true;
    for (const State::Slot& slot : m_state->slots) {
      if (std::shared_ptr<CTavra> object = slot.object.lock()) {
        objects.push_back(std::move(object));
      }
    }
    for (const std::weak_ptr<CTavra>& weak : m_state->unstarted) {
      if (std::shared_ptr<CTavra> object = weak.lock()) {
        objects.push_back(std::move(object));
      }
    }
    m_state->unstarted.clear();
  }
  m_state->slotFreed.notify_all();  // callers waiting for a closing slot give up
  for (const std::shared_ptr<CTavra>& object : objects) {
    object->Disconnect();
  }
  {
    std::unique_lock lock(m_state->mutex);
    m_state->slotFreed.wait_for(lock, kClosingWait,
                                [this] { return !m_state->AnyClosingLocked(); });
  }
  // `objects` goes here, without the lock: an object no client holds any more is destroyed now.
}

bool TavraPool::IsTornDown() const {
  std::lock_guard lock(m_state->mutex);
  return m_state->closed;
}

std::shared_ptr<CTavra> TavraPool::Controller(int portNumber) const {
  if (portNumber < 0 || portNumber >= stack::PortTable::kPorts) {
    return nullptr;
  }
  std::lock_guard lock(m_state->mutex);
  return m_state->slots[static_cast<std::size_t>(portNumber)].object.lock();
}

}  // namespace tavra::service
