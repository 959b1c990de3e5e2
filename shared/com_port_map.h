#pragma once
// COM port number -> device path. In order: $TAVRA_PORT_DIR/COM<n> when that variable is set
// (and nothing else); else a symlink COM<n> in ${XDG_CONFIG_HOME:-~/.config}/tavra/ports/;
// else the built-in defaults COM1..4 = /dev/ttyS0..3, COM5..8 = /dev/ttyUSB0..3,
// COM9 = /dev/ttyACM0. COM0 and numbers outside 0..9 have no device.

#include <optional>
#include <string>

namespace tavra {

inline constexpr int kPortCount = 10;

std::optional<std::string> ResolveComPort(int portNumber);

// "COM<n>".
std::string ComPortName(int portNumber);

}  // namespace tavra
