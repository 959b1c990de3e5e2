// tavractl: a command-line client of TavraLink (see tavractl_commands.h and docs/tavractl.md).

#include <QtCore/QCoreApplication>
#include <iostream>
#include <string>
#include <vector>

#include "tools/tavractl/tavractl_commands.h"

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer builds only: Qt (as packaged) is not built for it, so every hand-over between
// Qt's threads looks like a race. Reports that pass through Qt, libdbus or GLib are dropped.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6\n"
         "race:libdbus-1\n"
         "race:libglib-2.0\n"
         "mutex:libQt6\n"
         "deadlock:libQt6\n"
         "deadlock:libdbus-1\n";
}
extern "C" const char* __tsan_default_options() {
  return "die_after_fork=0";
}
#endif

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (tavra::tavractl::IsWatch(args)) {
    // Before any thread starts, so that every thread leaves the signals to the wait.
    tavra::tavractl::BlockStopSignals();
  }
  const QCoreApplication application(argc, argv);  // QtDBus needs one
  return tavra::tavractl::RunTavractl(args, std::cout, std::cerr);
}
