// tavractl: a command-line client of TavraLink (see tavractl_commands.h and docs/tavractl.md).

#include <QtCore/QCoreApplication>
#include <iostream>
#include <string>
#include <vector>

#include "tools/tavractl/tavractl_commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (tavra::tavractl::IsWatch(args)) {
    // Before any thread starts, so that every thread leaves the signals to the wait.
    tavra::tavractl::BlockStopSignals();
  }
  const QCoreApplication application(argc, argv);  // QtDBus needs one
  return tavra::tavractl::RunTavractl(args, std::cout, std::cerr);
}
