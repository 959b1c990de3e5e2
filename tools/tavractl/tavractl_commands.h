#pragma once
// The commands of tavractl, a command-line client of TavraLink for people who look after
// controllers: status, status PORT, watch PORT, send PORT RXID HEX, request PORT RXID HEX.
// Results go to `out`, complaints to `err`; every wait for the server or the controller is
// bounded (kWait).
//
// Threads: RunTavractl runs on the program's main thread; for `watch` the caller has blocked
// SIGINT and SIGTERM in every thread (BlockStopSignals before any thread starts), and the
// callback lines are written from the proxy's thread under a lock of their own.

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

namespace tavra::tavractl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;
inline constexpr std::chrono::seconds kWait{10};

// `args` without the program name.
int RunTavractl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Whether the command line asks for `watch` (which needs the stop signals blocked).
[[nodiscard]] bool IsWatch(const std::vector<std::string>& args);
// Blocks SIGINT and SIGTERM in the calling thread and the threads it starts afterwards.
void BlockStopSignals();

}  // namespace tavra::tavractl
