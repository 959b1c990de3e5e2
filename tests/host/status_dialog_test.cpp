// The status dialog's contents from a port-table snapshot, the dialog itself (offscreen), the
// about box text and the tray menu's dispatch.

#include "server/host/status_dialog.h"

#include <gtest/gtest.h>

#include <QtWidgets/QLabel>

#include "host_support.h"
#include "server/host/about_text.h"
#include "server/host/host_texts.h"
#include "server/host/status_cells.h"
#include "server/host/tray_menu.h"

namespace tavra::host {
namespace {

using Snapshot = std::array<stack::PortEntry, stack::PortTable::kPorts>;

stack::PortEntry InUse(bool linkUp, std::int32_t clients, std::array<std::uint8_t, 6> id = {}) {
  stack::PortEntry e;
  e.inUse = true;
  e.linkUp = linkUp;
  e.clientCount = clients;
  e.identity.bytes = id;
  return e;
}

std::vector<std::string> Row(const StatusCells& cells, int row) {
  std::vector<std::string> out;
  out.reserve(kStatusColumns);
  for (int c = 0; c < kStatusColumns; ++c) {
    out.push_back(cells.At(row, c).toStdString());
  }
  return out;
}

using Cells = std::vector<std::string>;
const Cells kEmptyRow{"-", "-", "-", "-"};

TEST(HostStatusCells, PortsOneAndThreeFillRowsOneAndTwo) {
  Snapshot s{};
  s[1] = InUse(true, 2, {3, 1, 0, 12, 0, 9});
  s[3] = InUse(true, 1, {1, 2, 5, 0, 7, 0});
  const StatusCells cells = FillStatusCells(s);
  EXPECT_EQ(Row(cells, 0), (Cells{"COM1", "Tavra Windows", "1.0.12.0", "2"}));
  EXPECT_EQ(Row(cells, 1), (Cells{"COM3", "BootCode", "2.5.0.7", "1"}));
  EXPECT_EQ(Row(cells, 2), kEmptyRow);
  EXPECT_EQ(Row(cells, 3), kEmptyRow);
  EXPECT_EQ(cells.rowsFilled, 2);
  EXPECT_EQ(cells.fillResult, 1);
}

TEST(HostStatusCells, PortWithoutLinkShowsNoConnectionDashAndClients) {
  Snapshot s{};
  // An identity left over from an earlier link is not shown while the link is down.
  s[4] = InUse(false, 3, {3, 9, 9, 9, 9, 0});
  const StatusCells cells = FillStatusCells(s);
  EXPECT_EQ(Row(cells, 0), (Cells{"COM4", "No connection", "-", "3"}));
}

TEST(HostStatusCells, FivePortsInUseShowTheFourLowest) {
  Snapshot s{};
  for (const int port : {0, 2, 5, 8, 9}) {
    s[static_cast<std::size_t>(port)] = InUse(false, port);
  }
  const StatusCells cells = FillStatusCells(s);
  EXPECT_EQ(cells.At(0, 0).toStdString(), "COM0");
  EXPECT_EQ(cells.At(1, 0).toStdString(), "COM2");
  EXPECT_EQ(cells.At(2, 0).toStdString(), "COM5");
  EXPECT_EQ(cells.At(3, 0).toStdString(), "COM8");
  EXPECT_EQ(cells.At(3, 3).toStdString(), "8");
  EXPECT_EQ(cells.rowsFilled, 4);
  EXPECT_EQ(cells.fillResult, 0);
  // Exactly four in use all fit.
  s[9] = {};
  EXPECT_EQ(FillStatusCells(s).fillResult, 1);
}

TEST(HostStatusCells, ControllerTypeTexts) {
  const std::pair<std::uint8_t, const char*> cases[] = {
      {0, "TermTavra"}, {1, "BootCode"}, {2, "TermTavra"}, {3, "Tavra Windows"},
      {4, "4"},         {7, "7"},        {255, "255"}};
  for (const auto& [type, text] : cases) {
    Snapshot s{};
    s[2] = InUse(true, 1, {type, 0, 0, 0, 0, 0});
    EXPECT_EQ(FillStatusCells(s).At(0, 1).toStdString(), text) << int{type};
  }
}

TEST(HostStatusCells, NothingInUseLeavesEveryCellDash) {
  const StatusCells cells = FillStatusCells(Snapshot{});
  for (int r = 0; r < kStatusRows; ++r) {
    EXPECT_EQ(Row(cells, r), kEmptyRow);
  }
  EXPECT_EQ(cells.fillResult, 1);
}

TEST(HostStatusDialog, ShowsTheCellsUnderTheFourHeaders) {
  test::EnsureApplication();
  Snapshot s{};
  s[1] = InUse(true, 2, {7, 1, 2, 3, 4, 0});
  s[3] = InUse(false, 1);
  StatusDialog dialog(FillStatusCells(s));
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Tavra Server status");
  EXPECT_EQ(dialog.Cell(0, 0)->text().toStdString(), "COM1");
  EXPECT_EQ(dialog.Cell(0, 1)->text().toStdString(), "7");
  EXPECT_EQ(dialog.Cell(0, 2)->text().toStdString(), "1.2.3.4");
  EXPECT_EQ(dialog.Cell(1, 1)->text().toStdString(), "No connection");
  EXPECT_EQ(dialog.Cell(1, 2)->text().toStdString(), "-");
  EXPECT_EQ(dialog.Cell(3, 3)->text().toStdString(), "-");
  EXPECT_EQ(dialog.Cell(4, 0), nullptr);
  QStringList labels;
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    labels << label->text();
  }
  for (const char* header :
       {"Comports in use", "Tavra ctr. type", "Tavra ctr. version", "Number of Clients"}) {
    EXPECT_TRUE(labels.contains(QString::fromUtf8(header))) << header;
  }
}

TEST(HostAboutBox, TextFromTheFileVersion) {
  EXPECT_EQ(AboutBoxText(QString::fromUtf8(texts::kFileVersion)).toStdString(),
            "Tavra Server version 1.0.12.0\n\nTavra Server (TavraLink.exe) handles communication "
            "between the Tavra controller and Windows applications (e.g. Tavra Planner and "
            "Firmware loader).\n\nCopyright \u00A9 Norvik as");
}

TEST(HostAboutBox, FileVersionSplitAtTheFirstThreeCommas) {
  EXPECT_EQ(ParseFileVersion(QStringLiteral("1, 0, 12, 0")), (std::array<int, 4>{1, 0, 12, 0}));
  EXPECT_EQ(ParseFileVersion(QStringLiteral("2,3,4,5")), (std::array<int, 4>{2, 3, 4, 5}));
  EXPECT_FALSE(ParseFileVersion(QStringLiteral("1, 0, 12")));
  EXPECT_FALSE(ParseFileVersion(QStringLiteral("1, x, 12, 0")));
  EXPECT_FALSE(ParseFileVersion(QStringLiteral("1, 0, 12, 0, 7")));  // the fourth part is "0, 7"
  // An unreadable version shows as zeros, not as garbage.
  EXPECT_TRUE(AboutBoxText(QStringLiteral("?"))
                  .startsWith(QStringLiteral("Tavra Server version 0.0.0.0\n\n")));
}

TEST(HostTexts, ShutdownQuestionByteForByte) {
  EXPECT_STREQ(texts::kShutdownQuestion,
               "IMPORTANT!\nDo NOT shut down Tavra Server if any application using Tavra Server "
               "is running (e.g. Tavra Planner or Firmware loader).\nNormally, Tavra Server shuts "
               "down automatically when every client application is closed.\nShut down Tavra "
               "Server?");
  EXPECT_STREQ(texts::kShutdownCaption, "Shut down Tavra Server");
  EXPECT_STREQ(texts::kAboutCaption, "About Tavra Server...");
  EXPECT_STREQ(texts::kTooltip, "Tavra Server");
}

class RecordingActions : public TrayActions {
 public:
  void ShowAbout() override { log += "about;"; }
  void ShowStatus() override {
    log += "status;";
    if (nested != nullptr) {
      // A second command while the dialog is open is refused.
      nestedResult = nested->Dispatch(TrayCommand::About);
      nestedOpens = nested->OpensMenu(QSystemTrayIcon::Context);
    }
  }
  bool ConfirmShutdown() override {
    log += "confirm;";
    return answerYes;
  }
  void ForcedShutdown() override { log += "forced;"; }

  std::string log;
  bool answerYes = false;
  TrayMenuDispatcher* nested = nullptr;
  bool nestedResult = true;
  bool nestedOpens = true;
};

TEST(HostTrayMenu, OnlyTheContextRequestOpensTheMenu) {
  RecordingActions actions;
  TrayMenuDispatcher dispatcher(actions);
  EXPECT_TRUE(dispatcher.OpensMenu(QSystemTrayIcon::Context));
  EXPECT_FALSE(dispatcher.OpensMenu(QSystemTrayIcon::Trigger));
  EXPECT_FALSE(dispatcher.OpensMenu(QSystemTrayIcon::DoubleClick));
  EXPECT_FALSE(dispatcher.OpensMenu(QSystemTrayIcon::MiddleClick));
  EXPECT_FALSE(dispatcher.OpensMenu(QSystemTrayIcon::Unknown));
  EXPECT_EQ(actions.log, "");
}

TEST(HostTrayMenu, CommandsRunTheirActions) {
  RecordingActions actions;
  TrayMenuDispatcher dispatcher(actions);
  EXPECT_TRUE(dispatcher.Dispatch(TrayCommand::About));
  EXPECT_TRUE(dispatcher.Dispatch(TrayCommand::Status));
  EXPECT_FALSE(dispatcher.Dispatch(TrayCommand::None));
  EXPECT_EQ(actions.log, "about;status;");
  EXPECT_EQ(static_cast<int>(TrayCommand::About), 32775);
  EXPECT_EQ(static_cast<int>(TrayCommand::Status), 32779);
  EXPECT_EQ(static_cast<int>(TrayCommand::ShutDown), 32777);
}

TEST(HostTrayMenu, ShutDownOnlyAfterYes) {
  RecordingActions actions;
  TrayMenuDispatcher dispatcher(actions);
  actions.answerYes = false;
  dispatcher.Dispatch(TrayCommand::ShutDown);
  EXPECT_EQ(actions.log, "confirm;");
  actions.answerYes = true;
  dispatcher.Dispatch(TrayCommand::ShutDown);
  EXPECT_EQ(actions.log, "confirm;confirm;forced;");
}

TEST(HostTrayMenu, NoSecondCommandWhileADialogIsOpen) {
  RecordingActions actions;
  TrayMenuDispatcher dispatcher(actions);
  actions.nested = &dispatcher;
  EXPECT_TRUE(dispatcher.Dispatch(TrayCommand::Status));
  EXPECT_FALSE(actions.nestedResult);
  EXPECT_FALSE(actions.nestedOpens);
  EXPECT_EQ(actions.log, "status;");
  EXPECT_FALSE(dispatcher.Busy());
  EXPECT_TRUE(dispatcher.OpensMenu(QSystemTrayIcon::Context));
}

}  // namespace
}  // namespace tavra::host
