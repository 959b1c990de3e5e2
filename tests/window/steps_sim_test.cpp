// The window's backup and update steps through the real server stack to the simulated
// controller on a pseudo-terminal: the window switches the controller to its boot code by
// itself, a backup passes its checks, and that file goes back in as an update.

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>

#include "loader/app/firmware_file.h"
#include "loader/window/startform.h"
#include "server/service/tavra_pool.h"
#include "server/stack/port_table.h"
#include "sim/simulated_controller.h"
#include "tests/common/port_dir.h"

namespace tavra::loader {
namespace {

constexpr int kWaitMs = 60000;

TEST(WindowOnSimulator, BackupPassesItsChecksAndGoesBackInAsAnUpdate) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "steps_sim_test";
  static char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir.filePath(QStringLiteral("config"))));
  qputenv("XDG_STATE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("state"))));
  const tavra::test::PortDir ports;
  stack::GlobalPortTable().Clear();
  sim::SimulatedController controller;
  std::string error;
  ASSERT_TRUE(controller.StartPseudoTerminal(ports.PathOf(1), &error)) << error;
  auto pool = std::make_shared<service::TavraPool>();

  StartOptions options;
  options.poolFactory = [pool](std::uint32_t, std::shared_ptr<ITavraPool>& out) {
    out = pool;
    return S_OK;
  };
  options.programDir = dir.path();
  options.startSupervisor = false;
  auto window = std::make_unique<Tstartform>(std::move(options));
  QStringList boxes;
  window->Boxes().SetPresenter([&boxes](const QString& text, const QString&) { boxes << text; });
  window->FormCreate();
  QTRY_COMPARE_WITH_TIMEOUT(window->Connection().ComStatus(), COM_TAVRA_BOOTCODE_MODE, kWaitMs);

  QString backup = dir.filePath(QStringLiteral("backup.TVW"));
  window->SetBackupPathChooser([backup] { return backup; });
  window->BackupFirmwareButtonClick();
  QTRY_COMPARE_WITH_TIMEOUT(
      boxes, QStringList{QStringLiteral("Backup af  Firmware afsluttet med succes")}, kWaitMs);
  EXPECT_EQ(VerifyBackupFile(std::filesystem::path(backup.toStdString())), BackupCheck::Ok);

  boxes.clear();
  window->ApOpenDialog1CanClose(backup);
  window->UpdateFirmwareButtonClick();
  QTRY_COMPARE_WITH_TIMEOUT(
      boxes, QStringList{QStringLiteral("Opdater Firmware afsluttet med succes")}, kWaitMs);
  window->Shutdown();
  window.reset();
  controller.Stop();
}

}  // namespace
}  // namespace tavra::loader
