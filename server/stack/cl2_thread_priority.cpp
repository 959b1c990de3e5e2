#include "server/stack/cl2_thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavra::stack {

bool RaiseLinkThreadPriority() {
  static std::atomic<bool> s_refusalLogged{false};
  errno = 0;
  const int processNice = getpriority(PRIO_PROCESS, static_cast<id_t>(getpid()));
  if (processNice == -1 && errno != 0) {
    return false;
  }
  // On Linux a thread id names the thread alone for setpriority.
  const auto tid = static_cast<id_t>(syscall(SYS_gettid));
  const int target = std::max(processNice - kLinkThreadNiceBoost, -20);
  if (setpriority(PRIO_PROCESS, tid, target) == 0) {
    return true;
  }
  const int error = errno;
  if (!s_refusalLogged.exchange(true)) {
    std::fprintf(stderr, "CL2: link threads keep normal priority (%s)\n", std::strerror(error));
  }
  return false;
}

}  // namespace tavra::stack
