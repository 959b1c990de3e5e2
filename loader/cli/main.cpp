// tavraloader-cli: the firmware loader's command-line front end.

#include <iostream>
#include <string>
#include <vector>

#include "cli_commands.h"

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    args.emplace_back(argv[i]);
  }
  const int code = tavra::loader::cli::RunCli(args, std::cout, std::cerr);
  std::cout.flush();
  return code;
}
