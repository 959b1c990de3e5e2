#pragma once
// The small interface the link layer needs of a serial port. Implemented by TermiosSerialPort
// (a real device or pseudo-terminal) and SimulatedSerialPort (in-process, for tests).
//
// Threads: writes only from the link layer's transmitter thread; ReceiveLoop only on the
// receiver thread; SetBitRate only from the supervisor thread. InterruptReceive and AbortWrites
// may be called from any thread.

#include <cstdint>
#include <span>

#include "server/stack/internal_codes.h"
#include "shared/sync_event.h"

namespace tavra::stack {

class FrameParser;

// Told when the device behind an open port goes away (hang-up, EIO/ENXIO) and when the port has
// opened it again. Called on the receiver thread (a lost device also on the transmitter thread);
// must not block.
class IDeviceListener {
 public:
  virtual void OnDeviceLost() = 0;
  virtual void OnDeviceBack() = 0;

 protected:
  ~IDeviceListener() = default;
};

class ISerialPort {
 public:
  virtual ~ISerialPort() = default;

  // Opens COM<portNumber> with the fixed line settings at bitRate.
  // 0, kPortOpenError, kPortInUse or kPortNotFound.
  [[nodiscard]] virtual Result Open(int portNumber, int bitRate) = 0;
  // 0 at once when the rate is in force; else a 200 ms pause, then the change.
  // Returns 0 or an operating-system error number (never a 0x28 code).
  [[nodiscard]] virtual Result SetBitRate(int bitRate) = 0;
  // Complete when the bytes are on the line, not when a queue has taken them: the acknowledgement
  // timer starts after it returns. 0, kWriteTimeout (not on the line within 4000 ms; pending
  // output discarded) or kWriteFailed.
  [[nodiscard]] virtual Result WriteDataFrame(std::span<const std::uint8_t> frame) = 0;
  // Writes 02 X X+2 onto the line within 500 ms: 0 or kWriteFailed.
  [[nodiscard]] virtual Result WriteAckFrame(std::uint8_t x) = 0;
  virtual void Close() = 0;

  // Runs until `stop` is set: resets the parser (hunt state, no last sequence), hands every
  // received byte to it in order, and resets it to hunt after a pause of 100 ms or more that
  // follows activity. Returns 0, or -1 when it cannot set itself up.
  virtual Result ReceiveLoop(Event& stop, FrameParser& parser) = 0;
  // Wakes a ReceiveLoop that waits, so that it sees `stop`.
  virtual void InterruptReceive() = 0;
  // Ends a write that waits for its bytes to leave the line (the link layer is stopping): it
  // returns kWriteFailed at once, as do later writes until the next Open.
  virtual void AbortWrites() {}
  // Set before Open and the receive loop; the listener must outlive the port's use.
  virtual void SetDeviceListener(IDeviceListener* listener) { (void)listener; }

  // The bit rate in force (9600 after Open).
  [[nodiscard]] virtual int CurrentBitRate() const = 0;
  // The highest rate the port can be set to: the link asks the controller for no more. A
  // network port whose line settings are fixed on its server says 9600.
  [[nodiscard]] virtual int MaxBitRate() const { return 115200; }
};

}  // namespace tavra::stack
