#pragma once
// The tavralink program from start to end:
//  1. settings read, 2. process priority, 3. command line ("RegServer", "UnregServer",
//  "WriteRegistry" end the run here with their result), 4. settings list on standard error,
//  5. shutdown monitor, 6. the pool object exported and the well-known name requested with
//  "do not queue" (a second server ends at once with kExitAlreadyRunning), 7. tray icon where a
//  tray exists (else headless), 8. event loop, 9. icon removed, objects withdrawn and the name
//  released, the closing pause (1000 ms), the pool's teardown.
// SIGTERM and SIGINT end the event loop as the shutdown monitor does.
//
// Main thread; a QCoreApplication (QApplication for the icon) must exist. The D-Bus calls are
// served on a thread of their own (bus_service.h).

#include <QtCore/QObject>
#include <QtCore/QStringList>
#include <chrono>
#include <functional>
#include <memory>

#include "server/host/server_module.h"

namespace tavra::host {

inline constexpr int kExitNoBus = 3;
inline constexpr int kExitAlreadyRunning = 4;
inline constexpr int kExitExportFailed = 5;

struct ServerRunOptions {
  std::chrono::milliseconds quietTime = ServerModule::kQuietTime;
  std::chrono::milliseconds closingPause{1000};
  // Adds the icon (forcedShutdown is what its Shut Down command runs); returns the object that
  // keeps it, or null when no icon is shown. Empty: the real tray icon where a tray exists.
  std::function<std::unique_ptr<QObject>(std::function<void()> forcedShutdown)> createTray;
  // The priority was applied already (ApplyPriorityBeforeThreads), before any thread started.
  bool priorityApplied = false;
};

// Steps 1 and 2 for main(): reads the settings and applies the process priority they name,
// before the QApplication (or anything else) starts a thread. On Linux a priority belongs to a
// thread and is inherited by the threads it starts, so only this order reaches every thread.
void ApplyPriorityBeforeThreads();

// Runs the program with `arguments` (arguments[0] is the program); returns the exit code.
int RunServer(const QStringList& arguments, const ServerRunOptions& options = {});

// Chooses the window system for a QApplication made after this call: the desktop's when there
// is one, falling back to none ("offscreen", the server then runs headless), so a missing or
// unreachable display never stops the server. Leaves an explicit QT_QPA_PLATFORM alone.
void PrepareGuiPlatform();

}  // namespace tavra::host
