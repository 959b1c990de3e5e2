#include "stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tavra::loader::cli {
namespace {

std::mutex g_mutex;
std::function<void()> g_handler;  // guarded by g_mutex
std::atomic<bool> g_stopped{false};

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

void WaitForStops() {
  const sigset_t set = StopSet();
  for (;;) {
    int signal = 0;
    if (::sigwait(&set, &signal) != 0) {
      continue;
    }
    g_stopped = true;
    std::lock_guard lock(g_mutex);
    if (!g_handler) {
      std::_Exit(kExitInterrupted);
    }
    g_handler();
  }
}

}  // namespace

void BlockStopSignals() {
  const sigset_t set = StopSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void StartStopSignalThread() {
  // Lives until the process ends; it holds nothing that needs an orderly end.
  std::thread(WaitForStops).detach();
}

void SetStopHandler(std::function<void()> handler) {
  std::lock_guard lock(g_mutex);
  g_handler = std::move(handler);
}

bool StopRequested() {
  return g_stopped;
}

}  // namespace tavra::loader::cli
