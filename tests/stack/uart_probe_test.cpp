// A device file with no UART behind it is a port that does not exist.

#include "server/stack/uart_probe.h"

#include <gtest/gtest.h>
#include <linux/serial.h>

#include <cerrno>

namespace tavra::stack {
namespace {

TEST(StackUartProbe, DecidesFromTheModemLinesAndTheSerialInfo) {
  struct Row {
    const char* what;
    UartProbe probe;
    bool noUart;
  };
  const Row rows[] = {
      {"16550A at 115200", {0, 0, PORT_16550A, 115200}, false},
      {"no UART: modem lines fail with EIO", {EIO, 0, PORT_16550A, 115200}, true},
      {"no UART: serial info fails with EIO", {0, EIO, 0, 0}, true},
      {"no UART: unknown type, no clock", {0, 0, PORT_UNKNOWN, 0}, true},
      {"USB adapter: unknown type with a clock", {0, 0, PORT_UNKNOWN, 3000000}, false},
      {"pseudo-terminal: neither call known", {ENOTTY, ENOTTY, 0, 0}, false},
      {"driver without modem lines", {EINVAL, 0, PORT_16550A, 115200}, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(NoUartBehind(row.probe), row.noUart) << row.what;
  }
}

}  // namespace
}  // namespace tavra::stack
