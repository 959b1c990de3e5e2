#pragma once
// Sets the priority of the server process from the setting ProcessPriority, best effort:
// priority class 32 (normal) -> nice 0, 64 (idle) -> 19, 128 (high) -> -10, 256 (real-time) -> -20.
// A refusal by the system (an ordinary user may not raise the priority) is written once to
// standard error and otherwise ignored. Main thread, once at start.

#include <cstdint>
#include <optional>

namespace tavra::host {

// The nice value of a priority class, or nothing for a value that is not a priority class.
[[nodiscard]] std::optional<int> NiceValueForPriorityClass(std::int32_t priorityClass);

// Applies the class to the whole process. true when the system took it.
bool ApplyProcessPriority(std::int32_t priorityClass);

}  // namespace tavra::host
