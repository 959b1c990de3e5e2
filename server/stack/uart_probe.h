#pragma once
// Whether an opened serial device file has a UART behind it. /dev/ttyS2 on most PCs opens
// although no UART answers at its address: the kernel then fails the first modem-line call with
// EIO, or describes the port as of unknown type with no clock. Such a file is a port that does
// not exist (not-found), not one that failed to open.
//
// Free functions, no state; any thread.

namespace tavra::stack {

struct UartProbe {
  int modemLinesError = 0;  // errno of TIOCMGET, 0 when it worked
  int serialInfoError = 0;  // errno of TIOCGSERIAL, 0 when it worked
  int serialType = 0;       // serial_struct.type when TIOCGSERIAL worked (0: PORT_UNKNOWN)
  int baudBase = 0;         // serial_struct.baud_base when TIOCGSERIAL worked
};

// Asks the device behind `fd`.
[[nodiscard]] UartProbe ProbeUart(int fd);

// True when the probe shows no UART. A device that does not know the calls (a pseudo-terminal:
// ENOTTY, EINVAL) has one as far as the driver can tell; an unknown type counts only without a
// clock (USB adapters may leave the type unset but always report their base rate).
[[nodiscard]] bool NoUartBehind(const UartProbe& probe);

}  // namespace tavra::stack
