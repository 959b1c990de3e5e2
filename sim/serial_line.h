#pragma once
// The controller's end of the serial line, in one of three forms: the far end of an in-process
// SimulatedSerialPort, the master of a pseudo-terminal whose slave the host opens, or a real
// tty device (null-modem cable).
//
// Threads: bytes from the host reach the ByteSink on the host's writing thread (in process) or
// on the line's own reader thread (pseudo-terminal, device); the sink must not block. Write and
// SetOwnBitRate are called by the simulated controller's writer thread only; HostBitRate by any
// thread. Stop() ends the reader thread (joined) and detaches; after it returns the sink is
// never called again. The line owns its file descriptors and the symlink it made.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace tavra::stack {
class SimulatedSerialPort;
}

namespace tavra::sim {

// Bytes from the host and the host's bit rate when they came (0: not known).
using ByteSink = std::function<void(std::span<const std::uint8_t> bytes, int hostBitRate)>;

class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Writes all bytes (a bounded wait when the line is full; the rest is dropped then).
  virtual void Write(std::span<const std::uint8_t> bytes) = 0;
  // The rate the host's side of the line is set to, 0 when it cannot be known.
  [[nodiscard]] virtual int HostBitRate() const = 0;
  // Only a real device changes its own rate; the others keep theirs virtual.
  virtual void SetOwnBitRate(int bitRate) = 0;
  virtual void Stop() = 0;
  // The path the host opens (pseudo-terminal slave or device), empty in process.
  [[nodiscard]] virtual std::string HostPath() const = 0;
};

std::unique_ptr<SerialLine> MakePortLine(stack::SimulatedSerialPort& port, ByteSink sink);
// linkPath: when non-empty, a symlink to the slave made there (an old symlink is replaced, any
// other file is left alone and is an error) and removed by Stop().
// The line keeps the slave open itself, so a host's exclusive mode (TIOCEXCL) would outlive
// the host: when the host's last descriptor of the slave closes (a killed host included), the
// line clears it, so that the next host can open the port, and then calls hostClosed (reader
// thread; may be empty).
std::unique_ptr<SerialLine> MakePseudoTerminalLine(ByteSink sink,
                                                   const std::string& linkPath,
                                                   std::string* error,
                                                   std::function<void()> hostClosed = {});
std::unique_ptr<SerialLine> MakeDeviceLine(const std::string& devicePath,
                                           ByteSink sink,
                                           std::string* error);

// Bit rate <-> termios speed; 0 for a speed that is not one of the usual rates.
int SpeedToBitRate(unsigned int speed);
unsigned int BitRateToSpeed(int bitRate);

}  // namespace tavra::sim
