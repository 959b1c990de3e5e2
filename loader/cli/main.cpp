// tavraloader-cli: the firmware loader's command-line front end.

#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "cli_commands.h"
#include "stop_signals.h"

#if defined(TAVRA_CLI_WITH_BUS)
#include <QtCore/QCoreApplication>
#endif

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
#endif

int main(int argc, char** argv) {
  // Before any thread starts, so that every thread leaves the stop signals to their thread.
  tavra::loader::cli::BlockStopSignals();
  tavra::loader::cli::StartStopSignalThread();
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }
#if defined(TAVRA_CLI_WITH_BUS)
  const QCoreApplication application(argc, argv);  // QtDBus needs one
#endif
  const int code = tavra::loader::cli::RunCli(args, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
