#pragma once
// The contents of the status dialog, computed from a snapshot of the port table: four rows of
// port, controller type, firmware version and client count, for the four lowest ports in use.
// A pure function, so it is tested without a screen.

#include <QtCore/QString>
#include <array>

#include "server/stack/port_table.h"

namespace tavra::host {

inline constexpr int kStatusRows = 4;
inline constexpr int kStatusColumns = 4;

struct StatusCells {
  // Row-major: cells[row * 4 + column], columns port, type, version, clients. Unused cells "-".
  std::array<QString, kStatusRows * kStatusColumns> cells;
  int rowsFilled = 0;
  // 1 when every port in use fits, 0 when a fifth one was left out.
  int fillResult = 1;

  [[nodiscard]] const QString& At(int row, int column) const {
    return cells[static_cast<std::size_t>(row * kStatusColumns + column)];
  }
};

// Type cell text of a controller type byte ("TermTavra", "BootCode", "Tavra Windows" or the
// number).
[[nodiscard]] QString ControllerTypeText(std::uint8_t type);

[[nodiscard]] StatusCells FillStatusCells(
    const std::array<stack::PortEntry, stack::PortTable::kPorts>& snapshot);

}  // namespace tavra::host
