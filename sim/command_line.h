#pragma once
// The command line of tavra-sim: options into a SimConfig plus what the program does around
// it (where to publish the port, faults to set, timed events, trace). Kept apart from main()
// so that it can be tested.
//
// Plain functions; no threads, no locks.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/simulated_controller.h"

namespace tavra::sim {

struct CommandLine {
  SimConfig config;
  bool help = false;
  std::string linkPath;    // positional PATH: where the pseudo-terminal's slave is published
  int portNumber = -1;     // --port N: $TAVRA_PORT_DIR/COM<N>
  std::string devicePath;  // --device PATH: a real tty instead of a pseudo-terminal
  std::string firmwareFile;
  bool trace = false;
  std::string traceFile;  // empty: standard error

  int dropAcks = 0;
  int busy = 0;
  int transportBusy = 0;
  int busyEvery = 0;           // --busy-every N
  int transportBusyEvery = 0;  // --transport-busy-every N
  std::vector<std::pair<std::uint16_t, std::uint8_t>> refusedBlocks;
  std::optional<std::uint8_t> refuseFinish;
  bool refuseHeader = false;
  int refuseUploads = 0;
  std::uint16_t cancelUploadAt = 0;
  double corruptProbability = 0;
  std::uint32_t corruptSeed = 1;
  std::optional<double> pullCableAt;   // seconds after start
  std::optional<double> pullCableFor;  // seconds; none: until SIGUSR1
  std::optional<double> restartAt;     // seconds after start
};

// args without the program name. nullopt with a message in *error for a bad command line.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string* error);

// Where the slave is published: the PATH given, else $TAVRA_PORT_DIR/COM<n> (n from --port,
// 1 by default). Empty when neither is there (portDir is the variable's value or empty).
std::string ResolveLinkPath(const CommandLine& commandLine, const std::string& portDir);

// A *.TVW firmware file: record lines (':' and hex pairs) become rows, every other line with
// CR LF the header text. False with a message on a bad record or an oversized header.
bool LoadFirmwareFile(const std::string& path, FirmwareContent* content, std::string* error);

std::string UsageText();

}  // namespace tavra::sim
