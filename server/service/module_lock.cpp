#include "server/service/module_lock.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace tavra::service {

namespace {

std::atomic<std::int64_t> g_count{0};
std::mutex g_implMutex;  // guards g_impl only; never held while the implementation runs
std::shared_ptr<IModuleLock> g_impl;

std::shared_ptr<IModuleLock> CurrentImplementation() {
  std::lock_guard lock(g_implMutex);
  return g_impl;
}

}  // namespace

void LockModule() {
  g_count.fetch_add(1);
  if (const std::shared_ptr<IModuleLock> impl = CurrentImplementation()) {
    impl->Lock();
  }
}

void UnlockModule() {
  g_count.fetch_sub(1);
  if (const std::shared_ptr<IModuleLock> impl = CurrentImplementation()) {
    impl->Unlock();
  }
}

std::int64_t ModuleLockCount() {
  return g_count.load();
}

std::shared_ptr<IModuleLock> SetModuleLock(std::shared_ptr<IModuleLock> moduleLock) {
  std::lock_guard lock(g_implMutex);
  return std::exchange(g_impl, std::move(moduleLock));
}

}  // namespace tavra::service
