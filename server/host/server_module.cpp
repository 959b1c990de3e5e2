#include "server/host/server_module.h"

#include <cstdio>
#include <system_error>

namespace tavra::host {

ServerModule::ServerModule(std::chrono::milliseconds quietTime) : m_quietTime(quietTime) {}

ServerModule::~ServerModule() {
  m_stop = true;
  m_shutdownEvent.Set();
  if (m_monitor.joinable()) {
    m_monitor.join();
  }
}

bool ServerModule::StartMonitor(Hooks hooks) {
  if (m_monitor.joinable()) {
    return false;
  }
  m_hooks = std::move(hooks);
  try {
    m_monitor = std::thread([this] { Monitor(); });
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "tavralink: no shutdown monitor (%s)\n", e.what());
    return false;
  }
  return true;
}

void ServerModule::Lock() {
  m_lockCount.fetch_add(1);
}

void ServerModule::Unlock() {
  if (m_lockCount.fetch_sub(1) - 1 == 0) {
    m_activity = true;
    m_shutdownEvent.Set();
  }
}

std::int32_t ServerModule::LockCount() const {
  return m_lockCount.load();
}

void ServerModule::ForcedShutdown() {
  m_forced = true;
  std::int32_t expected = 0;
  m_lockCount.compare_exchange_strong(expected, 1);
  while (m_lockCount.load() > 0) {
    Unlock();
  }
}

bool ServerModule::Suspended() const {
  return m_suspended.load();
}

bool ServerModule::QuitRequested() const {
  return m_quitRequested.load();
}

void ServerModule::Monitor() {
  // Quiet when nothing holds the server, or when a forced shutdown said to go regardless.
  const auto quiet = [this] { return !m_activity.load() && (m_forced || m_lockCount.load() <= 0); };
  for (;;) {
    m_shutdownEvent.Wait();
    if (m_stop) {
      return;
    }
    do {
      m_activity = false;
    } while (m_shutdownEvent.Wait(m_quietTime) && !m_stop);
    if (m_stop) {
      return;
    }
    if (!quiet()) {
      continue;
    }
    if (!m_suspended.exchange(true) && m_hooks.suspend) {
      m_hooks.suspend();
    }
    if (quiet()) {
      m_quitRequested = true;
      if (m_hooks.quit) {
        m_hooks.quit();
      }
      return;
    }
  }
}

}  // namespace tavra::host
