#pragma once
// Ctrl+C and SIGTERM for the command line: both are blocked in every thread (BlockStopSignals,
// before any thread starts) and taken by one waiting thread (StartStopSignalThread). While a
// controller command runs it installs a handler that ends the transfer's waits at once, so the
// command can remove its client and say what happened; without a handler the program ends at
// once with 130.
//
// Threads: the handler runs on the waiting thread under the module's mutex; SetStopHandler
// takes the same mutex, so a handler cleared by its owner is never running afterwards.

#include <functional>

namespace tavra::loader::cli {

inline constexpr int kExitInterrupted = 130;

void BlockStopSignals();
void StartStopSignalThread();
// Null clears the handler.
void SetStopHandler(std::function<void()> handler);
[[nodiscard]] bool StopRequested();

}  // namespace tavra::loader::cli
