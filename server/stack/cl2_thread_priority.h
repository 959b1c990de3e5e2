#pragma once
// Raises the calling thread to the link stack's high priority (the link layer's transmitter,
// receiver and supervisor threads). Best effort: the thread's nice value is lowered by
// kLinkThreadNiceBoost from the process's; a refusal by the system (no privilege) is written
// once per process to stderr and otherwise ignored. Any thread may call it, for itself only.

namespace tavra::stack {

inline constexpr int kLinkThreadNiceBoost = 5;

// True when the priority was raised.
bool RaiseLinkThreadPriority();

}  // namespace tavra::stack
