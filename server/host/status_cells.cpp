#include "server/host/status_cells.h"

#include "server/host/host_texts.h"

namespace tavra::host {

QString ControllerTypeText(std::uint8_t type) {
  switch (type) {
    case 0: return QString::fromUtf8(texts::kTypeTermTavra0);
    case 1: return QString::fromUtf8(texts::kTypeBootCode);
    case 2: return QString::fromUtf8(texts::kTypeTermTavra2);
    case 3: return QString::fromUtf8(texts::kTypeTavraWindows);
    default: return QString::number(type);
  }
}

StatusCells FillStatusCells(
    const std::array<stack::PortEntry, stack::PortTable::kPorts>& snapshot) {
  StatusCells out;
  out.cells.fill(QString::fromUtf8(texts::kEmptyCell));
  for (int port = 0; port < stack::PortTable::kPorts; ++port) {
    const stack::PortEntry& entry = snapshot[static_cast<std::size_t>(port)];
    if (!entry.inUse) {
      continue;
    }
    if (out.rowsFilled == kStatusRows) {
      out.fillResult = 0;
      return out;
    }
    const auto cell = [&out](int column) -> QString& {
      return out.cells[static_cast<std::size_t>(out.rowsFilled * kStatusColumns + column)];
    };
    cell(0) = QStringLiteral("COM%1").arg(port);
    const auto& id = entry.identity.bytes;
    if (entry.linkUp) {
      cell(1) = ControllerTypeText(id[0]);
      cell(2) = QStringLiteral("%1.%2.%3.%4").arg(id[1]).arg(id[2]).arg(id[3]).arg(id[4]);
    } else {
      cell(1) = QString::fromUtf8(texts::kNoConnection);
    }
    // Shown as an unsigned number, as the dialog has always done.
    cell(3) = QString::number(static_cast<std::uint32_t>(entry.clientCount));
    ++out.rowsFilled;
  }
  out.fillResult = 1;
  return out;
}

}  // namespace tavra::host
