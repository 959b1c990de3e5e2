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
