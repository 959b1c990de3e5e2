#pragma once
// COM port number -> device path or network port. In order: $TAVRA_PORT_DIR/COM<n> when that
// variable is set (and nothing else); else a symlink COM<n> in
// ${XDG_CONFIG_HOME:-~/.config}/tavra/ports/; else the built-in defaults COM1..4 =
// /dev/ttyS0..3, COM5..8 = /dev/ttyUSB0..3, COM9 = /dev/ttyACM0. COM0 and numbers outside 0..9
// have no device.
//
// Where a symlink is taken, a regular file of that name may instead name a network serial port:
// its first line is rfc2217://HOST:PORT or tcp://HOST:PORT (see network_port_url.h). A regular
// file with anything else is a port that is not there (ComPortTarget::problem says why).
//
// Pure functions of the environment and the file system; any thread.

#include <optional>
#include <string>

#include "shared/network_port_url.h"

namespace tavra {

inline constexpr int kPortCount = 10;

struct ComPortTarget {
  std::string path;                       // the device, or the file that names a network port
  std::optional<NetworkPortUrl> network;  // set when the file names a network port
  std::string problem;                    // set when the file names nothing usable
};

// Nothing for a port with no entry at all.
std::optional<ComPortTarget> ResolveComPortTarget(int portNumber);

// The device path; nothing for a port with no entry or one whose entry is a file (a network
// port or a bad one).
std::optional<std::string> ResolveComPort(int portNumber);

// "COM<n>".
std::string ComPortName(int portNumber);

}  // namespace tavra
