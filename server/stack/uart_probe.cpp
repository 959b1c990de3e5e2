#include "server/stack/uart_probe.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace tavra::stack {

UartProbe ProbeUart(int fd) {
  UartProbe probe;
  int lines = 0;
  if (::ioctl(fd, TIOCMGET, &lines) != 0) {
    probe.modemLinesError = errno;
  }
  serial_struct info{};
  if (::ioctl(fd, TIOCGSERIAL, &info) != 0) {
    probe.serialInfoError = errno;
  } else {
    probe.serialType = info.type;
    probe.baudBase = info.baud_base;
  }
  return probe;
}

bool NoUartBehind(const UartProbe& probe) {
  if (probe.modemLinesError == EIO || probe.serialInfoError == EIO) {
    return true;
  }
  return probe.serialInfoError == 0 && probe.serialType == PORT_UNKNOWN && probe.baudBase == 0;
}

}  // namespace tavra::stack
