#pragma once
// The module lock: a process-wide count of the things that keep TavraLink running. A controller
// object holds one from its construction to the end of its destruction; the pool holds one while
// a client from outside holds it (its reference count above 1). The host installs its own
// implementation (the shutdown monitor: the server ends some time after the count has fallen to
// 0); without one the lock only counts.
//
// Threads: any. LockModule/UnlockModule update the count atomically and then call the installed
// implementation with no lock of this module held, often while the caller holds a lock of its
// own (the pool's lock while a controller object is created): an implementation must only record
// and signal, never call back into the pool or a controller object.

#include <cstdint>
#include <memory>

namespace tavra::service {

class IModuleLock {
 public:
  IModuleLock() = default;
  virtual ~IModuleLock() = default;
  IModuleLock(const IModuleLock&) = delete;
  IModuleLock& operator=(const IModuleLock&) = delete;

  virtual void Lock() = 0;
  virtual void Unlock() = 0;
};

// Count + 1, then the installed implementation's Lock.
void LockModule();
// Count - 1, then the installed implementation's Unlock.
void UnlockModule();
// The locks held now (the count kept here, whatever is installed).
[[nodiscard]] std::int64_t ModuleLockCount();

// Installs the host's implementation (null: none) and returns the one it replaces. Install it
// before the first lock is taken, so that its Lock and Unlock calls pair up.
std::shared_ptr<IModuleLock> SetModuleLock(std::shared_ptr<IModuleLock> moduleLock);

// Holds one module lock for its lifetime.
class ModuleLockHold {
 public:
  ModuleLockHold() { LockModule(); }
  ~ModuleLockHold() { UnlockModule(); }
  ModuleLockHold(const ModuleLockHold&) = delete;
  ModuleLockHold& operator=(const ModuleLockHold&) = delete;
};

}  // namespace tavra::service
