#pragma once
// The status dialog: "Tavra Server status", four header cells and four rows of four cells
// filled once from a snapshot of the port table (it does not refresh while open), and an OK
// button. Main thread only.

#include <QtWidgets/QDialog>
#include <array>

#include "server/host/status_cells.h"

class QLabel;

namespace tavra::host {

class StatusDialog : public QDialog {
  Q_OBJECT
 public:
  explicit StatusDialog(const StatusCells& cells, QWidget* parent = nullptr);

  // The data cell at row 0..3, column 0..3 (tests, screenshots).
  [[nodiscard]] QLabel* Cell(int row, int column) const;

 private:
  std::array<QLabel*, kStatusRows * kStatusColumns> m_cells{};
};

}  // namespace tavra::host
