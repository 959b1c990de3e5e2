#include "server/host/status_dialog.h"

#include <QtWidgets/QDialogButtonBox>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

#include "server/host/host_texts.h"

namespace tavra::host {

namespace {
constexpr int kCellWidth = 120;  // the 70 x 15 dialog-unit cells at a common font size
constexpr int kCellHeight = 24;
}  // namespace

StatusDialog::StatusDialog(const StatusCells& cells, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QString::fromUtf8(texts::kStatusCaption));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  setModal(true);

  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(2);
  const char* headers[] = {texts::kHeaderPorts, texts::kHeaderType, texts::kHeaderVersion,
                           texts::kHeaderClients};
  for (int column = 0; column < kStatusColumns; ++column) {
    auto* header = new QLabel(QString::fromUtf8(headers[column]));
    header->setAlignment(Qt::AlignCenter);
    header->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    header->setMinimumSize(kCellWidth, kCellHeight);
    grid->addWidget(header, 0, column);
  }
  for (int row = 0; row < kStatusRows; ++row) {
    for (int column = 0; column < kStatusColumns; ++column) {
      auto* cell = new QLabel(cells.At(row, column));
      cell->setAlignment(Qt::AlignCenter);
      cell->setMinimumSize(kCellWidth, kCellHeight);
      m_cells[static_cast<std::size_t>(row * kStatusColumns + column)] = cell;
      grid->addWidget(cell, row + 1, column);
    }
  }

  auto* ok = new QPushButton(QString::fromUtf8(texts::kOk));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addSpacing(8);
  layout->addWidget(ok, 0, Qt::AlignHCenter);
  setFixedSize(sizeHint());
}

QLabel* StatusDialog::Cell(int row, int column) const {
  if (row < 0 || row >= kStatusRows || column < 0 || column >= kStatusColumns) {
    return nullptr;
  }
  return m_cells[static_cast<std::size_t>(row * kStatusColumns + column)];
}

}  // namespace tavra::host
