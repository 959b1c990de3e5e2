#include "server/host/process_priority.h"

#include <sys/resource.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tavra::host {

std::optional<int> NiceValueForPriorityClass(std::int32_t priorityClass) {
  switch (priorityClass) {
    case 32: return 0;
    case 64: return 19;
    case 128: return -10;
    case 256: return -20;
    default: return std::nullopt;
  }
}

bool ApplyProcessPriority(std::int32_t priorityClass) {
  static std::atomic<bool> s_refusalLogged{false};
  const std::optional<int> nice = NiceValueForPriorityClass(priorityClass);
  if (!nice) {
    return false;
  }
  if (setpriority(PRIO_PROCESS, 0, *nice) == 0) {
    return true;
  }
  const int err = errno;
  if (!s_refusalLogged.exchange(true)) {
    std::fprintf(stderr, "tavralink: process priority %d (nice %d) not set: %s\n",
                 static_cast<int>(priorityClass), *nice, std::strerror(err));
  }
  return false;
}

}  // namespace tavra::host
