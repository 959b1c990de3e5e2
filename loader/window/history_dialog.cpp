#include "loader/window/history_dialog.h"

#include <QDateTime>
#include <QEvent>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "loader/app/history_file.h"
#include "loader/link/message_texts.h"
#include "loader/window/side_panels.h"
#include "loader/window/window_captions.h"

namespace tavra::loader {
namespace {

constexpr const char* kColumns[] = {"ColTime",     "ColPort",  "ColAction", "ColController",
                                    "ColBefore",   "ColAfter", "ColFile",   "ColChecksums",
                                    "ColDuration", "ColResult"};
constexpr int kColumnCount = static_cast<int>(std::size(kColumns));

QString Text(std::string_view row) {
  return CaptionText(LoaderWindow::History, row);
}

QString FromStd(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString ActionText(const std::string& action) {
  return action == kActionVersion  ? Text("ActionVersion")
         : action == kActionBackup ? Text("ActionBackup")
         : action == kActionUpdate ? Text("ActionUpdate")
                                   : FromStd(action);
}

// The box the step ended with, else the plain result.
QString ResultText(const HistoryRecord& record) {
  if (!record.message.empty()) {
    const std::string_view text = LookupMessage(record.message, ActiveLanguage());
    if (!text.empty()) {
      return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    }
  }
  return record.result == kResultOk          ? Text("ResultOk")
         : record.result == kResultCancelled ? Text("ResultCancelled")
                                             : Text("ResultFailed");
}

QStringList Cells(const HistoryRecord& record) {
  const QString time = QDateTime::fromString(FromStd(record.time), Qt::ISODate)
                           .toLocalTime()
                           .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  const QString checksums =
      record.headerChecksum < 0
          ? QString()
          : QStringLiteral("%1 / %2").arg(record.headerChecksum).arg(record.firmwareChecksum);
  return {time,
          QStringLiteral("COM%1").arg(record.port),
          ActionText(record.action),
          FromStd(record.controller),
          FromStd(record.versionBefore),
          FromStd(record.versionAfter),
          QString::fromStdString(std::filesystem::path(record.file).filename().string()),
          checksums,
          QString::number(record.seconds, 'f', 1) + QStringLiteral(" s"),
          ResultText(record)};
}

}  // namespace

THistoryForm::THistoryForm(QWidget* parent, std::filesystem::path file)
    : QDialog(parent), m_file(std::move(file)), m_table(new QTableWidget(this)) {
  setObjectName(QStringLiteral("HistoryForm"));
  m_table->setObjectName(QStringLiteral("HistoryTable"));
  m_table->setColumnCount(kColumnCount);
  m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_table->verticalHeader()->hide();
  m_table->horizontalHeader()->setStretchLastSection(true);
  auto* close = new QPushButton(this);
  close->setObjectName(QStringLiteral("CloseButton"));
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(m_table, 1);
  layout->addWidget(close, 0, Qt::AlignRight);
  ApplyCaptions(this, LoaderWindow::History, "THistoryForm");
  resize(1000, 360);
  AddHelpKey(this);
}

void THistoryForm::Reload() {
  QStringList headers;
  for (const char* column : kColumns) {
    headers << Text(column);
  }
  m_table->setHorizontalHeaderLabels(headers);
  std::vector<HistoryRecord> records = ReadHistory(m_file);
  std::reverse(records.begin(), records.end());  // newest first
  m_table->setRowCount(static_cast<int>(records.size()));
  for (int row = 0; row < m_table->rowCount(); ++row) {
    const QStringList cells = Cells(records[static_cast<std::size_t>(row)]);
    for (int column = 0; column < kColumnCount; ++column) {
      auto* item = new QTableWidgetItem(cells[column]);
      if (column == 6) {
        item->setToolTip(FromStd(records[static_cast<std::size_t>(row)].file));
      } else if (column == kColumnCount - 1) {
        item->setToolTip(cells[column]);  // the result may be cut at the dialog's edge
      }
      m_table->setItem(row, column, item);
    }
  }
  m_table->resizeColumnsToContents();
  // The result takes the room that is left (cut there, in full as its tool tip).
  m_table->horizontalHeader()->setSectionResizeMode(kColumnCount - 1, QHeaderView::Stretch);
}

void THistoryForm::showEvent(QShowEvent* event) {
  Reload();
  QDialog::showEvent(event);
}

void THistoryForm::changeEvent(QEvent* event) {
  if (event->type() == QEvent::LanguageChange) {
    ApplyCaptions(this, LoaderWindow::History, "THistoryForm");
    Reload();
  }
  QDialog::changeEvent(event);
}

}  // namespace tavra::loader
